// Relays between the page and the extension's background. Runs in the page's top frame only, in
// the extension's isolated world, so the page can neither read nor change what is sent onwards.
"use strict";

(() => {
  const FROM_PAGE = "tamsu-zuva-page";
  const FROM_EXTENSION = "tamsu-zuva-extension";
  const PORT_NAME = "tamsu-zuva";

  let port = null;
  // Page ids still waiting for a reply, so that a lost background still answers each of them.
  const waiting = new Map();

  function isPageId(id) {
    return (typeof id === "string" && id.length <= 100) || Number.isFinite(id);
  }

  function toPage(message) {
    window.postMessage({ source: FROM_EXTENSION, ...message }, window.location.origin);
  }

  function fail(id, code, message) {
    toPage({ type: "reply", id, ok: false, error: { code, message } });
  }

  function settle(id) {
    const count = waiting.get(id) || 0;
    if (count <= 1) waiting.delete(id);
    else waiting.set(id, count - 1);
  }

  function openPort() {
    const opened = chrome.runtime.connect({ name: PORT_NAME });
    opened.onMessage.addListener((message) => {
      if (!message || message.type !== "reply" || !waiting.has(message.id)) return;
      settle(message.id);
      toPage({ type: "reply", id: message.id, ...message.reply });
    });
    opened.onDisconnect.addListener(() => {
      // The background went away (extension reloaded or stopped): its host went with it.
      port = null;
      const lost = [...waiting.entries()];
      waiting.clear();
      for (const [id, count] of lost) {
        for (let i = 0; i < count; ++i) {
          fail(id, "host-exited", "the extension's connection to the host ended");
        }
      }
    });
    return opened;
  }

  function forward(data) {
    const { source, type, id, ...request } = data;
    if (!window.isSecureContext) {
      fail(id, "insecure-context", "the page is not a secure context");
      return;
    }
    try {
      if (!port) port = openPort();
      waiting.set(id, (waiting.get(id) || 0) + 1);
      port.postMessage({ type: "request", id, request });
    } catch (error) {
      // The extension was updated or removed under this page: only a reload brings it back.
      port = null;
      settle(id);
      fail(id, "extension-missing", String(error && error.message || error));
    }
  }

  window.addEventListener("message", (event) => {
    // Only the page itself: frames and other windows posting into it are not the page.
    if (event.source !== window) return;
    const data = event.data;
    if (!data || typeof data !== "object" || data.source !== FROM_PAGE) return;
    if (data.type === "hello") {
      toPage({ type: "hello", id: isPageId(data.id) ? data.id : null,
               version: chrome.runtime.getManifest().version });
    } else if (data.type === "request") {
      if (!isPageId(data.id)) fail(null, "bad-request", "a request needs a number or string id");
      else forward(data);
    }
  });
})();
