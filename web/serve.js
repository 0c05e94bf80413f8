#!/usr/bin/env node
// A static server for build/web on localhost: an AudioWorklet needs a secure
// context, which localhost is, and a page cannot add one from file:.
//   node web/serve.js [ROOT] [PORT]     (defaults: build/web, 8808; 0 picks a free port)
import { createReadStream, promises as fs } from 'node:fs';
import { createServer } from 'node:http';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.json': 'application/json',
  '.wasm': 'application/wasm', // WebAssembly.instantiateStreaming insists on it
  '.wav': 'audio/wav',
  '.png': 'image/png',
  '.svg': 'image/svg+xml',
  '.md': 'text/markdown; charset=utf-8',
};

// Resolves to { server, url } once listening on `host`:`port`. `mounts`
// serves other folders under path prefixes: { '/test/': folder }.
export function serve(root, { port = 8808, host = '127.0.0.1', mounts = {} } = {}) {
  const server = createServer(async (req, res) => {
    const fail = (status, text) => {
      res.writeHead(status, { 'content-type': 'text/plain; charset=utf-8' });
      res.end(text);
    };
    if (req.method !== 'GET' && req.method !== 'HEAD') return fail(405, 'GET only\n');
    let pathname;
    try {
      pathname = decodeURIComponent(new URL(req.url, 'http://localhost').pathname);
    } catch {
      return fail(400, 'bad path\n');
    }
    const prefix = Object.keys(mounts).find((p) => pathname.startsWith(p));
    const base = path.resolve(prefix ? mounts[prefix] : root);
    let file = path.join(base, prefix ? pathname.slice(prefix.length) : pathname);
    if (file !== base && !file.startsWith(base + path.sep)) return fail(403, 'outside the served folder\n');
    try {
      let stat = await fs.stat(file);
      if (stat.isDirectory()) {
        file = path.join(file, 'index.html');
        stat = await fs.stat(file);
      }
      res.writeHead(200, {
        'content-type': TYPES[path.extname(file).toLowerCase()] || 'application/octet-stream',
        'content-length': stat.size,
        'cache-control': 'no-store',
      });
      if (req.method === 'HEAD') return res.end();
      createReadStream(file).pipe(res);
    } catch {
      fail(404, `not found: ${pathname}\n`);
    }
  });
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, host, () => {
      const { port: bound } = server.address();
      resolve({ server, url: `http://localhost:${bound}/` });
    });
  });
}

if (process.argv[1] && fileURLToPath(import.meta.url) === path.resolve(process.argv[1])) {
  const root = process.argv[2] || 'build/web';
  const port = Number(process.argv[3] ?? process.env.PORT ?? 8808);
  try {
    await fs.access(path.join(root, 'index.html'));
  } catch {
    console.error(`serve: ${root}/index.html is missing: run make web first`);
    process.exit(1);
  }
  const { url } = await serve(root, { port }).catch((e) => {
    console.error(`serve: cannot listen on port ${port}: ${e.message} (make web-serve WEB_PORT=N picks another)`);
    process.exit(1);
  });
  console.log(`vorn~ page: ${url}  (serving ${path.resolve(root)}; Ctrl-C stops)`);
}
