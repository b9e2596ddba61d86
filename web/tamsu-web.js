// Tamsu ZUVA for web pages: the USB security key through the Tamsu ZUVA browser extension and the
// host program of the installed package. Every call returns a Promise; failures are TamsuErrors
// whose `code` says what went wrong (see README, "For web front ends").

const FROM_PAGE = "tamsu-zuva-page";
const FROM_EXTENSION = "tamsu-zuva-extension";
const MAX_APDU_BYTES = 4096;

// Pages may change these before their first call.
export const settings = {
  // How long the extension gets to answer the first call before it counts as not installed.
  extensionWaitMs: 1000,
  // How long past a command's own time-out (or, without one, at all) a reply is waited for.
  replyGraceMs: 30000,
  // A PIN entry waits for a person.
  pinWaitMs: 600000,
};

export class TamsuError extends Error {
  constructor(code, message, scard) {
    super(message || code);
    this.name = "TamsuError";
    this.code = code;
    if (scard !== undefined) this.scard = scard;
  }
}

let nextId = 1;
let listening = false;
let presence = null; // a Promise of the extension's version once it has answered
const helloWaiters = new Map();
const pending = new Map();

function onMessage(event) {
  if (event.source !== window) return;
  const data = event.data;
  if (!data || typeof data !== "object" || data.source !== FROM_EXTENSION) return;
  if (data.type === "hello") {
    const waiter = helloWaiters.get(data.id);
    if (waiter) waiter(data.version);
  } else if (data.type === "reply") {
    const entry = pending.get(data.id);
    if (!entry) return;
    pending.delete(data.id);
    clearTimeout(entry.timer);
    if (data.ok === true) {
      entry.resolve(data);
    } else {
      const error = data.error && typeof data.error === "object" ? data.error : {};
      const code = typeof error.code === "string" ? error.code : "bad-reply";
      const scard = typeof error.scard === "number" ? error.scard : undefined;
      entry.reject(new TamsuError(code, typeof error.message === "string" ? error.message : code,
                                  scard));
    }
  }
}

function listen() {
  if (listening) return;
  window.addEventListener("message", onMessage);
  listening = true;
}

function post(message) {
  window.postMessage({ source: FROM_PAGE, ...message }, window.location.origin);
}

// The content script may be injected after the page's first call: ask again until the wait ends.
function findExtension() {
  listen();
  if (presence) return presence;
  presence = new Promise((resolve, reject) => {
    const id = nextId++;
    const started = Date.now();
    let timer = null;
    const ask = () => {
      if (Date.now() - started >= settings.extensionWaitMs) {
        helloWaiters.delete(id);
        presence = null;
        reject(new TamsuError("extension-missing",
                              "the Tamsu ZUVA browser extension did not answer"));
        return;
      }
      post({ type: "hello", id });
      timer = setTimeout(ask, 100);
    };
    helloWaiters.set(id, (version) => {
      clearTimeout(timer);
      helloWaiters.delete(id);
      resolve(version);
    });
    ask();
  });
  return presence;
}

async function request(command, args, waitMs) {
  await findExtension();
  return new Promise((resolve, reject) => {
    const id = nextId++;
    const timer = setTimeout(() => {
      pending.delete(id);
      reject(new TamsuError("no-reply", `no reply to ${command} within ${waitMs} ms`));
    }, waitMs);
    pending.set(id, { resolve, reject, timer });
    post({ type: "request", id, command, ...args });
  });
}

function badReply(command) {
  return new TamsuError("bad-reply", `the reply to ${command} is malformed`);
}

function badArgument(message) {
  return Promise.reject(new TamsuError("bad-request", message));
}

function withTimeout(args, options) {
  const timeoutMs = options && options.timeoutMs;
  if (timeoutMs === undefined) return true;
  if (!Number.isInteger(timeoutMs) || timeoutMs < 1 || timeoutMs > 60000) return false;
  args.timeoutMs = timeoutMs;
  return true;
}

function waitFor(args) {
  return (args.timeoutMs === undefined ? 0 : args.timeoutMs) + settings.replyGraceMs;
}

/** The package's version and the host's protocol number: {version, protocol}. */
export async function version() {
  const reply = await request("version", {}, settings.replyGraceMs);
  if (typeof reply.version !== "string" || !Number.isInteger(reply.protocol)) {
    throw badReply("version");
  }
  return { version: reply.version, protocol: reply.protocol };
}

/** The device paths of the keys present (an empty array when there is none). */
export async function list() {
  const reply = await request("list", {}, settings.replyGraceMs);
  if (!Array.isArray(reply.keys) || !reply.keys.every((k) => typeof k === "string")) {
    throw badReply("list");
  }
  return reply.keys;
}

/** Opens the key at `path`; resolves to the handle for transmit and disconnect. */
export async function connect(path, options = {}) {
  if (typeof path !== "string" || path === "") return badArgument("path must be a device path");
  const args = { path };
  if (!withTimeout(args, options)) return badArgument("timeoutMs must be 1 to 60000");
  const reply = await request("connect", args, waitFor(args));
  if (!Number.isSafeInteger(reply.handle)) throw badReply("connect");
  return reply.handle;
}

/** Sends a command APDU (1 to 4096 bytes); resolves to the whole answer, status word included. */
export async function transmit(handle, bytes, options = {}) {
  if (!(bytes instanceof Uint8Array) || bytes.length < 1 || bytes.length > MAX_APDU_BYTES) {
    return badArgument(`the command must be a Uint8Array of 1 to ${MAX_APDU_BYTES} bytes`);
  }
  const args = { handle, apdu: toHex(bytes) };
  if (!withTimeout(args, options)) return badArgument("timeoutMs must be 1 to 60000");
  const reply = await request("transmit", args, waitFor(args));
  const answer = typeof reply.answer === "string" ? fromHex(reply.answer) : null;
  if (!answer || answer.length === 0) throw badReply("transmit");
  return answer;
}

/** Closes a handle from connect. */
export async function disconnect(handle) {
  await request("disconnect", { handle }, settings.replyGraceMs);
}

/** Runs a PIN entry on the configured pinpad: {indicator, layout, keySelector, words: [A, B, C, D]}. */
export async function pin(options) {
  const { indicator, layout, keySelector, words } = options || {};
  const reply = await request("pin", { indicator, layout, keySelector, words }, settings.pinWaitMs);
  if (!Number.isInteger(reply.result)) throw badReply("pin");
  return reply.result;
}

function toHex(bytes) {
  let text = "";
  for (const byte of bytes) text += byte.toString(16).padStart(2, "0");
  return text.toUpperCase();
}

function fromHex(text) {
  if (text.length % 2 !== 0 || !/^[0-9A-Fa-f]*$/.test(text)) return null;
  const bytes = new Uint8Array(text.length / 2);
  for (let i = 0; i < bytes.length; ++i) bytes[i] = parseInt(text.substr(i * 2, 2), 16);
  return bytes;
}
