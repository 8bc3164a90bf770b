// Copies the page's libraries from node_modules (after `npm ci`) into
// app/resources/vendor/, with their licences, and writes VENDOR.md from the
// installed versions. The copies are committed, so building and running the
// application never needs the network.
'use strict';
const fs = require('node:fs');
const path = require('node:path');

const modules = path.join(__dirname, 'node_modules');
const target = path.join(__dirname, '..', 'resources', 'vendor');

// Classic-script builds: the page is a file:// document, where WebKit refuses
// ES module imports (an opaque origin fails their CORS check).
const files = [
  {pkg: 'preact', from: 'dist/preact.umd.js', to: 'preact.umd.js', global: 'preact'},
  {pkg: 'preact', from: 'hooks/dist/hooks.umd.js', to: 'preact-hooks.umd.js', global: 'preactHooks'},
  {pkg: 'htm', from: 'dist/htm.umd.js', to: 'htm.umd.js', global: 'htm'},
  {pkg: '@preact/signals-core', from: 'dist/signals-core.min.js', to: 'signals-core.umd.js', global: 'preactSignalsCore'},
  {pkg: '@preact/signals', from: 'dist/signals.min.js', to: 'signals.umd.js', global: 'preactSignals'},
  {pkg: 'uplot', from: 'dist/uPlot.iife.min.js', to: 'uPlot.iife.min.js', global: 'uPlot'},
  {pkg: 'uplot', from: 'dist/uPlot.min.css', to: 'uPlot.min.css', global: ''},
];

// Strips the trailing source-map reference: the maps are not shipped.
const withoutMap = text => text.replace(/\n?\/\/# sourceMappingURL=\S+\s*$/, '\n');

fs.mkdirSync(target, {recursive: true});
const packages = new Map();
for (const file of files) {
  const root = path.join(modules, file.pkg);
  const text = fs.readFileSync(path.join(root, file.from), 'utf8');
  fs.writeFileSync(path.join(target, file.to), file.to.endsWith('.js') ? withoutMap(text) : text);
  if (!packages.has(file.pkg)) {
    const manifest = JSON.parse(fs.readFileSync(path.join(root, 'package.json'), 'utf8'));
    const licence = fs.readdirSync(root).find(name => /^licen[cs]e/i.test(name));
    const licenceName = `LICENSE.${file.pkg.replace(/^@/, '').replace(/\//g, '-')}`;
    fs.copyFileSync(path.join(root, licence), path.join(target, licenceName));
    packages.set(file.pkg, {version: manifest.version, license: manifest.license, licenceName, files: []});
  }
  packages.get(file.pkg).files.push(`${file.to}${file.global ? ` (global \`${file.global}\`)` : ''}`);
}

const rows = [...packages].map(([name, p]) =>
  `| ${name} | ${p.version} | ${p.license} (${p.licenceName}) | ${p.files.join(', ')} |`);
fs.writeFileSync(path.join(target, 'VENDOR.md'), `# Vendored libraries of the main page

Copied by \`app/page/vendor.js\` from the versions locked in
\`app/page/package-lock.json\`; regenerate with \`cd app/page && npm ci && npm run vendor\`.
Do not edit these files by hand.

| package | version | licence | files |
|---|---|---|---|
${rows.join('\n')}
`);
console.log(`vendored ${files.length} files into ${path.relative(process.cwd(), target)}`);
