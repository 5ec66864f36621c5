// Test extension: sends requests to the native host the way the companion
// extension does, through both channels the browser offers, and hands each
// reply back to the test driver, which calls these functions over DevTools.
'use strict';

const HOST = 'br.quillon.agent';

// A request body can be inflated here rather than shipped through DevTools:
// `fill` sets message[fill.key] to fill.length copies of fill.char.
function build(message, fill) {
  if (!fill) return message;
  return { ...message, [fill.key]: fill.char.repeat(fill.length) };
}

// One message through sendNativeMessage: the browser starts a fresh host
// process for it. Resolves to { reply } or { error }, with the time taken.
async function sendOne(message, fill) {
  const body = build(message, fill);
  const started = performance.now();
  try {
    const reply = await chrome.runtime.sendNativeMessage(HOST, body);
    return { reply, ms: performance.now() - started };
  } catch (e) {
    return { error: String(e && e.message ? e.message : e), ms: performance.now() - started };
  }
}

const ports = new Map();
let nextPortId = 1;

// Opens a connectNative port: one host process serves every message on it.
function openPort() {
  const id = nextPortId++;
  const port = chrome.runtime.connectNative(HOST);
  const state = { port, replies: [], waiters: [], disconnected: null };
  port.onMessage.addListener((reply) => {
    state.replies.push(reply);
    settle(state);
  });
  port.onDisconnect.addListener(() => {
    const err = chrome.runtime.lastError;
    state.disconnected = err ? String(err.message) : 'disconnected';
    settle(state);
  });
  ports.set(id, state);
  return id;
}

function settle(state) {
  state.waiters = state.waiters.filter((w) => {
    if (state.replies.length >= w.count || state.disconnected !== null) {
      w.resolve();
      return false;
    }
    return true;
  });
}

// Posts every message back to back, then waits until as many replies as
// messages have arrived in total on the port, or the port is disconnected.
async function portSend(id, messages, fill) {
  const state = ports.get(id);
  if (!state) return { error: 'no such port' };
  const first = state.replies.length;
  const count = first + messages.length;
  const started = performance.now();
  const done = new Promise((resolve) => state.waiters.push({ count, resolve }));
  try {
    for (const m of messages) state.port.postMessage(build(m, fill));
  } catch (e) {
    return { error: String(e && e.message ? e.message : e), replies: [] };
  }
  settle(state);
  await done;
  const ms = performance.now() - started;
  const replies = state.replies.slice(first, count);
  return { replies, ms, disconnected: state.disconnected, total: state.replies.length };
}

function closePort(id) {
  const state = ports.get(id);
  if (!state) return false;
  if (state.disconnected === null) state.port.disconnect();
  ports.delete(id);
  return true;
}

Object.assign(globalThis, { sendOne, openPort, portSend, closePort });
// The worker is listed by the browser before this script has run: the driver
// waits for this flag before it calls anything above.
globalThis.quillonReady = true;
