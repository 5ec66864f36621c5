// Starts Debian's Chromium headless in scratch folders with the test
// extension loaded and the agent registered as its native-messaging host, and
// lets a test call the extension's functions through the DevTools pipe.
import { spawn } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { CdpPipe } from './cdp.mjs';
import { endMarkedProcesses, MARK_VARIABLE } from './reap.mjs';

export const HOST_NAME = 'br.quillon.agent';
export const CHROMIUM = process.env.QUILLON_CHROMIUM || '/usr/lib/chromium/chromium';
export const EXTENSION_DIR = fileURLToPath(new URL('../extension/', import.meta.url));

// An extension's ID is the first 128 bits of the SHA-256 of its public key,
// written with the letters a-p for the hexadecimal digits 0-f.
export function extensionId() {
  const manifest = JSON.parse(fs.readFileSync(path.join(EXTENSION_DIR, 'manifest.json'), 'utf8'));
  const digest = createHash('sha256').update(Buffer.from(manifest.key, 'base64')).digest('hex');
  return [...digest.slice(0, 32)].map((c) => String.fromCharCode(97 + parseInt(c, 16))).join('');
}

export function extensionOrigin() {
  return `chrome-extension://${extensionId()}/`;
}

function writeHostManifest(profileDir, agentPath) {
  const dir = path.join(profileDir, 'NativeMessagingHosts');
  fs.mkdirSync(dir, { recursive: true });
  const manifest = {
    name: HOST_NAME,
    description: 'Quillon Agent (test registration)',
    path: agentPath,
    type: 'stdio',
    allowed_origins: [extensionOrigin()],
  };
  fs.writeFileSync(path.join(dir, `${HOST_NAME}.json`), JSON.stringify(manifest, null, 2));
}

const BROWSER_FLAGS = [
  '--headless',
  '--no-sandbox', // the lane runs as root
  '--disable-gpu',
  '--disable-quic',
  '--no-first-run',
  '--no-default-browser-check',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
  '--remote-debugging-pipe',
];

// The browser and everything it starts (the agent included) carry a mark in
// their environment, so the ones left behind can be found and ended by pid.
export class Browser {
  static async start({ scratch, agentPath, env = {}, timeoutMs = 20000 }) {
    const dirs = {
      profile: path.join(scratch, 'profile'),
      home: path.join(scratch, 'home'),
      tmp: path.join(scratch, 'tmp'),
      config: path.join(scratch, 'xdg-config'),
      cache: path.join(scratch, 'xdg-cache'),
    };
    for (const d of Object.values(dirs)) fs.mkdirSync(d, { recursive: true });
    writeHostManifest(dirs.profile, agentPath);

    // One mark per browser; under a lane's tag, so the lane can end whatever
    // any of its browsers left.
    const own = randomBytes(8).toString('hex');
    const mark = process.env.QUILLON_BROWSER_TAG ? `${process.env.QUILLON_BROWSER_TAG}.${own}` : own;
    const childEnv = { ...process.env };
    delete childEnv.DBUS_SESSION_BUS_ADDRESS;
    Object.assign(childEnv, {
      HOME: dirs.home,
      TMPDIR: dirs.tmp,
      XDG_CONFIG_HOME: dirs.config,
      XDG_CACHE_HOME: dirs.cache,
      [MARK_VARIABLE]: mark,
      ...env,
    });

    const stderrPath = path.join(scratch, 'chromium.stderr');
    const stderr = fs.openSync(stderrPath, 'w');
    const child = spawn(
      CHROMIUM,
      [...BROWSER_FLAGS, `--user-data-dir=${dirs.profile}`, `--load-extension=${EXTENSION_DIR}`,
        'about:blank'],
      { env: childEnv, stdio: ['ignore', 'ignore', stderr, 'pipe', 'pipe'], detached: true },
    );
    fs.closeSync(stderr);
    const browser = new Browser(child, mark, dirs, stderrPath);
    try {
      await browser.#attachToWorker(timeoutMs);
    } catch (e) {
      await browser.close();
      throw new Error(`${e.message} (browser log: ${stderrPath})`);
    }
    return browser;
  }

  constructor(child, mark, dirs, stderrPath) {
    this.child = child;
    this.pid = child.pid;
    this.mark = mark;
    this.dirs = dirs;
    this.stderrPath = stderrPath;
    this.exited = new Promise((resolve) => child.once('exit', resolve));
    this.cdp = new CdpPipe(child.stdio[3], child.stdio[4]);
  }

  get logPath() {
    return path.join(this.dirs.tmp, 'quillon-agent.log');
  }

  async #attachToWorker(timeoutMs) {
    const workerUrl = `chrome-extension://${extensionId()}/worker.js`;
    const created = this.cdp.waitFor(
      (m) => m.method === 'Target.targetCreated' && m.params.targetInfo.type === 'service_worker'
        && m.params.targetInfo.url === workerUrl,
      timeoutMs, 'the extension service worker');
    await this.cdp.send('Target.setDiscoverTargets', { discover: true });
    const { params } = await created;
    const { sessionId } = await this.cdp.send('Target.attachToTarget',
      { targetId: params.targetInfo.targetId, flatten: true });
    this.session = sessionId;
    // The worker is listed before its script has run; wait for its flag.
    const deadline = Date.now() + timeoutMs;
    for (;;) {
      const ready = await this.#evaluate('globalThis.quillonReady === true');
      if (ready === true) return;
      if (Date.now() > deadline) throw new Error('the extension never announced that it is ready');
      await new Promise((r) => setTimeout(r, 20));
    }
  }

  async #evaluate(expression) {
    const r = await this.cdp.send('Runtime.evaluate',
      { expression, awaitPromise: true, returnByValue: true }, this.session);
    if (r.exceptionDetails) {
      const d = r.exceptionDetails;
      throw new Error(`in the extension: ${d.exception?.description ?? d.text}`);
    }
    return r.result.value;
  }

  // Calls one of the extension's functions with JSON arguments and returns
  // its (awaited) result; fails after timeoutMs.
  call(fn, args = [], timeoutMs = 30000) {
    const expression = `${fn}(...${JSON.stringify(args)})`;
    let timer;
    const timeout = new Promise((_, reject) => {
      timer = setTimeout(() => reject(new Error(`${fn} took longer than ${timeoutMs} ms`)),
        timeoutMs);
    });
    return Promise.race([this.#evaluate(expression), timeout]).finally(() => clearTimeout(timer));
  }

  sendOne(message, fill) {
    return this.call('sendOne', fill ? [message, fill] : [message]);
  }

  openPort() {
    return this.call('openPort');
  }

  portSend(port, messages, fill) {
    return this.call('portSend', fill ? [port, messages, fill] : [port, messages]);
  }

  closePort(port) {
    return this.call('closePort', [port]);
  }

  // Sends each message once through sendNativeMessage and once more, all
  // together, on a fresh port; returns both lists of replies. A failure of
  // either channel itself is an error.
  async viaBothChannels(messages) {
    const single = [];
    for (const m of messages) {
      const r = await this.sendOne(m);
      if (r.error !== undefined) throw new Error(`sendNativeMessage failed: ${r.error}`);
      single.push(r.reply);
    }
    const port = await this.openPort();
    const r = await this.portSend(port, messages);
    await this.closePort(port);
    if (r.disconnected !== null) throw new Error(`port disconnected: ${r.disconnected}`);
    return { single, port: r.replies };
  }

  // Asks the browser to quit, ends it by pid if it does not, then ends every
  // process still carrying this run's mark (hosts the browser left behind).
  async close() {
    if (this.child.exitCode === null && this.child.signalCode === null) {
      await Promise.race([
        this.cdp.send('Browser.close').catch(() => {}),
        new Promise((r) => setTimeout(r, 2000)),
      ]);
      const quit = await Promise.race([
        this.exited.then(() => true),
        new Promise((r) => setTimeout(() => r(false), 5000)),
      ]);
      if (!quit) {
        try { process.kill(this.pid, 'SIGKILL'); } catch { /* already gone */ }
        await this.exited;
      }
    }
    return endMarkedProcesses(this.mark);
  }
}
