// The test server: the built module (build/web) at /, the test page at
// /test/, on a free port of 127.0.0.1. localhost is a secure context, which
// AudioWorklet needs.
import { dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import { serve } from '../../serve.js';

export async function startServer(webDir) {
  const { server, url } = await serve(webDir, { port: 0, mounts: { '/test/': dirname(fileURLToPath(import.meta.url)) } });
  return { url, close: () => new Promise((r) => server.close(r)) };
}
