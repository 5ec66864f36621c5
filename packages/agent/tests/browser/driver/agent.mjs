// Talks to the agent directly through pipes, without a browser: the exact
// size of a reply, and the agent's own start-up time, are measured here and
// compared with what the browser makes of them.
import { spawn } from 'node:child_process';
import { performance } from 'node:perf_hooks';

export function frame(body) {
  const bytes = Buffer.isBuffer(body) ? body : Buffer.from(JSON.stringify(body), 'utf8');
  const header = Buffer.alloc(4);
  header.writeUInt32LE(bytes.length);
  return Buffer.concat([header, bytes]);
}

// Starts the agent, writes every message as one frame, closes its input and
// collects the reply frames until it exits. Each reply keeps its raw body
// (what the browser receives) beside the parsed value.
export function exchange(agentPath, messages, { env = process.env, args = [] } = {}) {
  return new Promise((resolve, reject) => {
    const started = performance.now();
    const child = spawn(agentPath, args, { env, stdio: ['pipe', 'pipe', 'pipe'] });
    const out = [];
    const err = [];
    let firstReplyMs = null;
    child.stdout.on('data', (c) => {
      if (firstReplyMs === null) firstReplyMs = performance.now() - started;
      out.push(c);
    });
    child.stderr.on('data', (c) => err.push(c));
    child.on('error', reject);
    child.on('close', (code) => {
      const stdout = Buffer.concat(out);
      const replies = [];
      let at = 0;
      while (at + 4 <= stdout.length) {
        const length = stdout.readUInt32LE(at);
        const body = stdout.subarray(at + 4, at + 4 + length);
        if (body.length < length) break;
        replies.push({ body, value: JSON.parse(body.toString('utf8')) });
        at += 4 + length;
      }
      resolve({
        replies,
        trailing: stdout.length - at,
        stderr: Buffer.concat(err).toString('utf8'),
        exitCode: code,
        firstReplyMs,
        ms: performance.now() - started,
      });
    });
    child.stdin.on('error', () => {}); // an agent that ended early is reported by its exit
    child.stdin.end(Buffer.concat(messages.map(frame)));
  });
}
