// Prints what one message costs through the browser: through
// sendNativeMessage (the browser starts an agent for each message) and on an
// open connectNative port, and how much of the first is the agent's own
// start-up (an agent started directly through a pipe, answering one ping).
// Figures only: nothing here is asserted.
import { exchange } from './driver/agent.mjs';
import { AGENT, startWithToken } from './driver/setup.mjs';

const ROUNDS_SINGLE = Number(process.env.QUILLON_FIGURE_ROUNDS || 40);
const ROUNDS_PORT = ROUNDS_SINGLE * 10;
const PING = { type: 'QUILLON_PING' };

function median(values) {
  const s = [...values].sort((a, b) => a - b);
  const mid = s.length >> 1;
  return s.length % 2 ? s[mid] : (s[mid - 1] + s[mid]) / 2;
}

const fmt = (ms) => ms.toFixed(2);

// A figure of error replies would measure the wrong thing.
function expectAnswer(error, reply) {
  if (error) throw new Error(error);
  if (!reply || reply.type === 'ERROR') throw new Error(`unexpected reply ${JSON.stringify(reply)}`);
}

const env = await startWithToken('figures');
try {
  const { browser, token } = env;
  const sign = { type: 'QUILLON_AGENT_SIGN', thumbprint: token.signer.thumbprint, pin: token.pin,
    data: Buffer.from('figures').toString('base64'), format: 'raw' };

  const single = async (message) => {
    await browser.sendOne(message); // warm-up
    const ms = [];
    for (let i = 0; i < ROUNDS_SINGLE; i++) {
      const r = await browser.sendOne(message);
      expectAnswer(r.error, r.reply);
      ms.push(r.ms);
    }
    return median(ms);
  };
  const onPort = async (message) => {
    const port = await browser.openPort();
    await browser.portSend(port, [message]); // start-up and warm-up
    const ms = [];
    for (let i = 0; i < ROUNDS_PORT; i++) {
      const r = await browser.portSend(port, [message]);
      expectAnswer(r.disconnected ?? r.error, r.replies[0]);
      ms.push(r.ms);
    }
    await browser.closePort(port);
    return median(ms);
  };

  const singlePing = await single(PING);
  const portPing = await onPort(PING);
  const singleSign = await single(sign);
  const portSign = await onPort(sign);

  const startups = [];
  await exchange(AGENT, [PING], { env: { ...process.env, TMPDIR: env.scratch } });
  for (let i = 0; i < ROUNDS_SINGLE; i++) {
    const r = await exchange(AGENT, [PING], { env: { ...process.env, TMPDIR: env.scratch } });
    startups.push(r.firstReplyMs);
  }
  const startup = median(startups);

  console.log(`browser figures (medians; ${ROUNDS_SINGLE} one-off messages, ${ROUNDS_PORT} port messages each):`);
  console.log(`  ping via sendNativeMessage: ${fmt(singlePing)} ms/message`);
  console.log(`  ping via connectNative port: ${fmt(portPing)} ms/message`);
  console.log(`  raw signature via sendNativeMessage: ${fmt(singleSign)} ms/message`);
  console.log(`  raw signature via connectNative port: ${fmt(portSign)} ms/message`);
  console.log(`  agent start-up to first reply (direct pipe): ${fmt(startup)} ms`
    + ` = ${((100 * startup) / singlePing).toFixed(0)}% of a sendNativeMessage ping`);
} finally {
  await env.close();
}
