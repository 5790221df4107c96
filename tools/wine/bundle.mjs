// Bundles a host file and the packages it requires into one CommonJS file,
// as Electron's Vite and webpack templates bundle a main process, with the
// esbuild that tools/bundle pins (installed by scripts/setup.sh). Its JS API
// finds esbuild's binary through the platform package npm installed
// (@esbuild/linux-x64), so no install script is needed.
//   node tools/wine/bundle.mjs ENTRY OUTFILE    (packages resolve from ENTRY's folder)
import { createRequire } from 'node:module';
import { fileURLToPath } from 'node:url';

const [entry, outfile] = process.argv.slice(2);
if (!entry || !outfile) {
  console.error('usage: node tools/wine/bundle.mjs ENTRY OUTFILE');
  process.exit(2);
}
let esbuild;
try {
  esbuild = createRequire(fileURLToPath(new URL('../bundle/package.json', import.meta.url)))('esbuild');
} catch (err) {
  console.error(`bundle: esbuild is missing (${err.code}); run scripts/setup.sh, which installs tools/bundle`);
  process.exit(1);
}
const result = await esbuild.build({
  entryPoints: [entry],
  outfile,
  bundle: true,
  platform: 'node',
  format: 'cjs',
  target: 'node18',
  logLevel: 'warning',
});
if (result.errors.length) process.exit(1);
