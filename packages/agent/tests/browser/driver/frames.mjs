import assert from 'node:assert/strict';

// Messages of exact sizes. Frame lengths whose bytes are line feeds, carriage
// returns or Ctrl-Z are the ones a stream left in text mode would mangle.
export const AWKWARD_LENGTHS = [0x0a0a, 0x0d0a, 0x1a0d, 0x0a1a0d, 0x0d1a0a]; // all below 1 MiB

// A ping whose JSON body is exactly `length` bytes (the browser serialises a
// message as JSON.stringify does).
export function pingOfLength(length) {
  const shell = { type: 'QUILLON_PING', pad: '' };
  return { ...shell, pad: 'p'.repeat(length - JSON.stringify(shell).length) };
}

// A request whose "tipo não suportado" reply body is exactly `length` bytes.
export function unknownTypeWithReplyOfLength(length) {
  const shell = Buffer.byteLength(JSON.stringify({ type: 'ERROR', error: 'tipo não suportado: ' }));
  return { type: 'Q'.repeat(length - shell) };
}

export const PONG = { type: 'QUILLON_PONG', version: '1.1.2' };

// Pings and replies of the awkward lengths through one port of `browser`:
// every ping is answered, every reply arrives at its exact length.
export async function assertAwkwardLengthsPassBothWays(browser) {
  const port = await browser.openPort();
  try {
    const pings = await browser.portSend(port, AWKWARD_LENGTHS.map(pingOfLength));
    assert.deepEqual(pings.replies, AWKWARD_LENGTHS.map(() => PONG));
    const errors = await browser.portSend(port, AWKWARD_LENGTHS.map(unknownTypeWithReplyOfLength));
    assert.deepEqual(errors.replies.map((r) => Buffer.byteLength(JSON.stringify(r))), AWKWARD_LENGTHS);
  } finally {
    await browser.closePort(port);
  }
}
