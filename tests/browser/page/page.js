// The harness drives the page library through window.tamsuTest and reads plain JSON results back.
import * as tamsu from "/tamsu-web.js";

function fromHex(text) {
  const bytes = new Uint8Array(text.length / 2);
  for (let i = 0; i < bytes.length; ++i) bytes[i] = parseInt(text.substr(i * 2, 2), 16);
  return bytes;
}

function toHex(bytes) {
  return Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("").toUpperCase();
}

function outcome(error) {
  return { ok: false, name: error && error.name, isError: error instanceof Error,
           code: error && error.code, scard: error && error.scard,
           message: String(error && error.message) };
}

async function call(name, args) {
  const started = performance.now();
  try {
    let value;
    if (name === "transmit") {
      const answer = await tamsu.transmit(args[0], fromHex(args[1]), args[2]);
      value = { isUint8Array: answer instanceof Uint8Array, hex: toHex(answer) };
    } else {
      value = await tamsu[name](...args);
    }
    return { ok: true, value: value === undefined ? null : value, ms: performance.now() - started };
  } catch (error) {
    return { ...outcome(error), ms: performance.now() - started };
  }
}

// Calls started together; `order` lists them in the order they settled.
async function together(calls) {
  const order = [];
  const results = await Promise.all(calls.map(([name, args], index) =>
    call(name, args).then((result) => { order.push(index); return result; })));
  return { results, order };
}

// Posts messages as they are and collects whatever the extension answers within waitMs.
function raw(messages, waitMs) {
  return new Promise((resolve) => {
    const seen = [];
    const listener = (event) => {
      if (event.source === window && event.data && event.data.source === "tamsu-zuva-extension") {
        seen.push(event.data);
      }
    };
    window.addEventListener("message", listener);
    for (const message of messages) window.postMessage(message, location.origin);
    setTimeout(() => { window.removeEventListener("message", listener); resolve(seen); }, waitMs);
  });
}

// One command sent again and again, each transmit timed in milliseconds (the benchmark's page rows).
async function timeTransmits(handle, hex, rounds) {
  const command = fromHex(hex);
  const times = [];
  try {
    for (let i = 0; i < rounds; ++i) {
      const begun = performance.now();
      await tamsu.transmit(handle, command);
      times.push(performance.now() - begun);
    }
    return { ok: true, times };
  } catch (error) {
    return outcome(error);
  }
}

window.tamsuTest = {
  call, together, raw, timeTransmits,
  settings: (values) => Object.assign(tamsu.settings, values),
  context: () => ({ secure: window.isSecureContext, origin: location.origin }),
};
document.getElementById("state").textContent = "ready";
