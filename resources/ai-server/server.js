// The local server that the Tessaryn panel talks to. Plain Node.js, no packages.
'use strict';

const http = require('http');

const port = Number(process.env.PORT || 9876);
const host = '127.0.0.1';

const server = http.createServer((request, response) => {
  if (request.method === 'GET' && request.url === '/health') {
    const body = JSON.stringify({ status: 'ok' });
    response.writeHead(200, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(body) });
    response.end(body);
    return;
  }
  response.writeHead(404, { 'Content-Type': 'application/json' });
  response.end(JSON.stringify({ error: 'not found' }));
});

server.on('error', (error) => {
  // The supervisor recognises a taken port by this text on standard error.
  process.stderr.write(`Tessaryn server error: ${error.code || ''} ${error.message}\n`);
  process.exit(1);
});

server.listen(port, host, () => {
  process.stdout.write(`Tessaryn server listening on http://${host}:${port}\n`);
});

process.on('SIGTERM', () => {
  server.close(() => process.exit(0));
  // Keep-alive connections would hold close() open: end them.
  if (server.closeAllConnections) server.closeAllConnections();
});
