// Bundles the viewer into one script: node build.mjs [OUTPUT_FILE]
// (default dist/drapeon-viewer.js). The CMake target "viewer" writes it into
// the build folder, where `drapeon view` finds it beside the program.
import { build } from 'esbuild';
import { fileURLToPath } from 'node:url';
import path from 'node:path';

const here = path.dirname(fileURLToPath(import.meta.url));
const outfile = path.resolve(process.argv[2] || path.join(here, 'dist', 'drapeon-viewer.js'));
await build({
  entryPoints: [path.join(here, 'src', 'main.js')],
  bundle: true,
  format: 'iife',
  minify: true,
  target: 'es2020',
  legalComments: 'eof',
  outfile,
  logLevel: 'warning',
});
console.log(`viewer: wrote ${outfile}`);
