// Runs a WASI command (a test program built for wasm32-wasi) in node, as a
// program runs here: its arguments, the environment's VORN_* settings,
// standard output and error, and its exit status.
//   node tests/wasm/run_wasi.mjs PROGRAM.wasm [ARG...]
import { readFile } from 'node:fs/promises';
import { WASI } from 'node:wasi';
import process from 'node:process';

const [program, ...args] = process.argv.slice(2);
if (!program) {
  process.stderr.write('usage: node run_wasi.mjs PROGRAM.wasm [ARG...]\n');
  process.exit(2);
}
const env = Object.fromEntries(Object.entries(process.env).filter(([name]) => name.startsWith('VORN_')));
const wasi = new WASI({ version: 'preview1', args: [program, ...args], env, returnOnExit: true });
const module = await WebAssembly.compile(await readFile(program));
const instance = await WebAssembly.instantiate(module, wasi.getImportObject());
process.exitCode = wasi.start(instance);
