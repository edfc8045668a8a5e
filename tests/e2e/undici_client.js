// A WebSocket client on Node.js's undici package, driven by the end-to-end tests: once loaded
// it says so, connects to URL (asking for PROTOCOL when given) when told, reports every event as
// one JSON line on standard output and sends what each JSON line on standard input asks.
// Usage: node undici_client.js URL [PROTOCOL]
'use strict';
const { WebSocket } = require('undici');
const readline = require('readline');

function say(event) {
  process.stdout.write(JSON.stringify(event) + '\n');
}

let ws = null;

function connect() {
  ws = new WebSocket(process.argv[2], process.argv.slice(3));
  ws.binaryType = 'arraybuffer';
  ws.onopen = () => say({ open: ws.protocol });
  ws.onmessage = (e) =>
    say(typeof e.data === 'string' ? { text: e.data } : { binary: Buffer.from(e.data).toString('hex') });
  ws.onerror = (e) => say({ error: String(e.message || e.error || e.type) });
  ws.onclose = (e) => {
    say({ close: e.code });
    process.exit(0);
  };
}

// {"connect": 1} connects, {"text": "..."} sends a text message, {"binary": "hex"} a binary one,
// {"close": 1} closes. The end of standard input ends the client: the test that drove it is gone.
const commands = readline.createInterface({ input: process.stdin });
commands.on('line', (line) => {
  const c = JSON.parse(line);
  if ('connect' in c) connect();
  else if ('text' in c) ws.send(c.text);
  else if ('binary' in c) ws.send(new Uint8Array(Buffer.from(c.binary, 'hex')));
  else if ('close' in c) ws.close();
});
commands.on('close', () => process.exit(0));
// Loading takes seconds on a busy machine: the test waits for it before it connects.
say({ loaded: process.version });
