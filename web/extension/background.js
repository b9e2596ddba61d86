// Opens the native host for each page that asks, stamps every request with the page's origin as
// the browser reports it, and hands the host's replies back to that page.
"use strict";

const HOST_NAME = "com.varnelle.tamsu_zuva";
const PORT_NAME = "tamsu-zuva";
// The host refuses larger messages and then ends, taking the page's open keys with it.
const MAX_REQUEST_BYTES = 64 * 1024;

// The arguments each command may carry; anything else a page adds (an origin above all) is dropped.
const COMMANDS = {
  version: [],
  list: [],
  connect: ["path", "timeoutMs"],
  transmit: ["handle", "apdu", "timeoutMs"],
  disconnect: ["handle"],
  pin: ["indicator", "layout", "keySelector", "words"],
};

function isHostId(id) {
  return Number.isSafeInteger(id) && id >= 0;
}

// Pages that are secure contexts by their origin: https, and http on the loopback names.
function trustworthyOrigin(sender) {
  if (!sender || sender.frameId !== 0) return null;
  let origin = sender.origin;
  if (typeof origin !== "string" && typeof sender.url === "string") {
    try { origin = new URL(sender.url).origin; } catch { origin = null; }
  }
  if (typeof origin !== "string") return null;
  let url;
  try { url = new URL(origin); } catch { return null; }
  if (url.origin !== origin) return null;
  if (url.protocol === "https:") return origin;
  if (url.protocol === "http:" && (url.hostname === "localhost" || url.hostname === "127.0.0.1")) {
    return origin;
  }
  return null;
}

function errorReply(code, message) {
  return { ok: false, error: { code, message } };
}

// One page's conversation with its own host process: the host's handles belong to the page and
// are released when the page goes away.
class Session {
  constructor(page) {
    this.page = page;
    this.origin = trustworthyOrigin(page.sender);
    this.native = null;
    this.answered = false;
    this.nextId = 0;
    this.pending = new Map(); // host id -> page id, in the order sent
    page.onMessage.addListener((message) => this.fromPage(message));
    page.onDisconnect.addListener(() => this.close());
  }

  toPage(id, reply) {
    try {
      this.page.postMessage({ type: "reply", id, reply });
    } catch {
      // The page is gone; its disconnect handler ends the host.
    }
  }

  fromPage(message) {
    if (!message || message.type !== "request") return;
    const pageId = message.id;
    const request = message.request;
    if (!this.origin) {
      this.toPage(pageId, errorReply("insecure-context", "the page is not a secure context"));
      return;
    }
    if (!request || typeof request !== "object" || !Object.hasOwn(COMMANDS, request.command)) {
      this.toPage(pageId, errorReply("bad-request", "unknown command"));
      return;
    }
    const id = this.nextId;
    const toHost = { id, origin: this.origin, command: request.command };
    for (const name of COMMANDS[request.command]) {
      if (Object.hasOwn(request, name)) toHost[name] = request[name];
    }
    let text;
    try { text = JSON.stringify(toHost); } catch { text = null; }
    if (text === null || new TextEncoder().encode(text).length > MAX_REQUEST_BYTES) {
      this.toPage(pageId, errorReply("message-too-large", "the request is too large for the host"));
      return;
    }
    if (!this.open()) {
      this.toPage(pageId, errorReply("host-missing", "the host could not be started"));
      return;
    }
    this.nextId += 1;
    this.pending.set(id, pageId);
    this.native.postMessage(toHost);
  }

  open() {
    if (this.native) return true;
    let native;
    try {
      native = chrome.runtime.connectNative(HOST_NAME);
    } catch {
      return false;
    }
    this.native = native;
    this.answered = false;
    native.onMessage.addListener((reply) => this.fromHost(native, reply));
    native.onDisconnect.addListener(() => {
      const reason = chrome.runtime.lastError && chrome.runtime.lastError.message;
      if (this.native !== native) return;
      // A host that never answered could not be started, whatever the browser calls it.
      this.failAll(this.answered ? "host-exited" : "host-missing",
                   reason || "the host ended");
    });
    return true;
  }

  fromHost(native, reply) {
    if (this.native !== native) return;
    this.answered = true;
    if (!reply || typeof reply !== "object" || Array.isArray(reply) ||
        typeof reply.ok !== "boolean" ||
        (!reply.ok && (!reply.error || typeof reply.error !== "object" ||
                       typeof reply.error.code !== "string"))) {
      this.failAll("bad-reply", "the host's reply is malformed");
      return;
    }
    let id = reply.id;
    if (id === null && !reply.ok && this.pending.size > 0) {
      // The host could not read the request's id; it answers in order, so this is the oldest.
      id = this.pending.keys().next().value;
    }
    if (!isHostId(id) || !this.pending.has(id)) {
      this.failAll("bad-reply", "the host answered a request that was not asked");
      return;
    }
    const pageId = this.pending.get(id);
    this.pending.delete(id);
    const { id: _hostId, ...rest } = reply;
    this.toPage(pageId, rest);
  }

  // Every waiting request gets the same failure and the host is let go: one that breaks its
  // framing or dies cannot be trusted with the requests still in it.
  failAll(code, message) {
    const native = this.native;
    this.native = null;
    const lost = [...this.pending.values()];
    this.pending.clear();
    if (native) {
      try { native.disconnect(); } catch { /* already closed */ }
    }
    for (const pageId of lost) this.toPage(pageId, errorReply(code, message));
  }

  close() {
    const native = this.native;
    this.native = null;
    this.pending.clear();
    if (native) {
      try { native.disconnect(); } catch { /* already closed */ }
    }
  }
}

chrome.runtime.onConnect.addListener((page) => {
  if (page.name !== PORT_NAME) {
    page.disconnect();
    return;
  }
  new Session(page);
});
