// A frame of another origin inside the test page, posting to its parent what the extension and
// the library must not take from anyone but the page itself.
"use strict";
const mode = new URLSearchParams(location.search).get("mode");
function send() {
  if (mode === "request") {
    parent.postMessage({ source: "tamsu-zuva-page", type: "request", id: "from-frame",
                         command: "list" }, "*");
  } else if (mode === "forge") {
    for (let id = 0; id < 20; ++id) {
      parent.postMessage({ source: "tamsu-zuva-extension", type: "hello", id,
                           version: "forged" }, "*");
      parent.postMessage({ source: "tamsu-zuva-extension", type: "reply", id, ok: true,
                           version: "forged", protocol: 1 }, "*");
    }
  }
}
send();
setInterval(send, 50);
