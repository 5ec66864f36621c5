// A minimal DevTools protocol client over the browser's debugging pipe
// (--remote-debugging-pipe: the browser reads commands on fd 3 and writes
// replies and events on fd 4, each message a JSON text ended by a NUL byte).
// No WebSocket and no npm package are needed.

export class CdpPipe {
  constructor(toBrowser, fromBrowser) {
    this.out = toBrowser;
    this.nextId = 1;
    this.pending = new Map();
    this.listeners = new Set();
    this.buffer = [];
    this.closed = null;
    fromBrowser.on('data', (chunk) => this.#receive(chunk));
    fromBrowser.on('close', () => this.#fail('the browser closed its debugging pipe'));
    fromBrowser.on('error', (e) => this.#fail(`debugging pipe: ${e.message}`));
    toBrowser.on('error', (e) => this.#fail(`debugging pipe: ${e.message}`));
  }

  #receive(chunk) {
    let start = 0;
    for (let end = chunk.indexOf(0); end !== -1; end = chunk.indexOf(0, start)) {
      this.buffer.push(chunk.subarray(start, end));
      const text = Buffer.concat(this.buffer).toString('utf8');
      this.buffer = [];
      start = end + 1;
      this.#dispatch(JSON.parse(text));
    }
    if (start < chunk.length) this.buffer.push(chunk.subarray(start));
  }

  #dispatch(message) {
    if (message.id !== undefined) {
      const waiter = this.pending.get(message.id);
      if (!waiter) return;
      this.pending.delete(message.id);
      if (message.error) waiter.reject(new Error(`${waiter.method}: ${message.error.message}`));
      else waiter.resolve(message.result);
      return;
    }
    for (const listener of this.listeners) listener(message);
  }

  #fail(reason) {
    if (this.closed) return;
    this.closed = reason;
    for (const waiter of this.pending.values()) waiter.reject(new Error(reason));
    this.pending.clear();
  }

  send(method, params = {}, sessionId = undefined) {
    if (this.closed) return Promise.reject(new Error(this.closed));
    const id = this.nextId++;
    const message = { id, method, params };
    if (sessionId) message.sessionId = sessionId;
    return new Promise((resolve, reject) => {
      this.pending.set(id, { resolve, reject, method });
      this.out.write(JSON.stringify(message) + '\0');
    });
  }

  // Resolves with the first event that satisfies `match`, or rejects after
  // `timeoutMs`.
  waitFor(match, timeoutMs, what) {
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.listeners.delete(listener);
        reject(new Error(`timed out waiting for ${what}`));
      }, timeoutMs);
      const listener = (message) => {
        if (!match(message)) return;
        clearTimeout(timer);
        this.listeners.delete(listener);
        resolve(message);
      };
      this.listeners.add(listener);
    });
  }
}
