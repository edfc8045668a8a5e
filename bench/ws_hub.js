// Broadcast hub on the "ws" package, written the way its documentation shows: every message
// goes to every other open client, with the frame type it arrived with. Runs on Debian 12's
// Node.js 18 and later; bench/run sets NODE_PATH=/usr/share/nodejs, where Debian's node-ws is.
// Usage: node ws_hub.js PORT   (listens on 127.0.0.1 only)
'use strict';
const WebSocket = require('ws');
const port = Number(process.argv[2]);
const wss = new WebSocket.Server({ host: '127.0.0.1', port, perMessageDeflate: false, maxPayload: 1 << 20 });
wss.on('connection', (ws) => {
  ws.on('error', () => {});
  ws.on('message', (data, isBinary) => {
    for (const client of wss.clients) {
      if (client !== ws && client.readyState === WebSocket.OPEN) client.send(data, { binary: isBinary });
    }
  });
});
wss.on('listening', () => console.log('listening ' + port));
