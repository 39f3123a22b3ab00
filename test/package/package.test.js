'use strict';

// The package as an app receives it: what `npm pack` carries, the prebuilt
// binaries' glibc needs, the ES module entry and the types. Runs after
// `npm run prebuild` and a local build (scripts/test).

const assert = require('node:assert/strict');
const { execFileSync, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { test } = require('node:test');

const root = path.join(__dirname, '..', '..');
const kArches = ['x64', 'arm64'];
// glibc 2.28 and GCC 8's libstdc++: Debian 10, RHEL 8, Ubuntu 18.10.
const kLimits = { GLIBC: '2.28', GLIBCXX: '3.4.25' };

const versionParts = (version) => version.split('.').map(Number);
function newer(a, b) {
  const [x, y] = [versionParts(a), versionParts(b)];
  for (let i = 0; i < Math.max(x.length, y.length); i++) {
    if ((x[i] ?? 0) !== (y[i] ?? 0)) return (x[i] ?? 0) > (y[i] ?? 0);
  }
  return false;
}

function prebuilt(arch) {
  const dir = path.join(root, 'prebuilds', `linux-${arch}`);
  const files = fs.readdirSync(dir).filter((file) => file.endsWith('.node'));
  assert.equal(files.length, 1, `one binary in ${dir}`);
  return path.join(dir, files[0]);
}

test('the package carries the loaders, types, lib, bin, the examples and docs, both prebuilt binaries, the sources and the licence, and nothing else', () => {
  const [{ files }] = JSON.parse(
    execFileSync('npm', ['pack', '--dry-run', '--json', '--ignore-scripts'], { cwd: root, encoding: 'utf8' }),
  );
  const packed = files.map((file) => file.path);
  const tree = (dir) => fs.readdirSync(path.join(root, dir)).map((file) => `${dir}/${file}`);
  const wanted = [
    'LICENSE', 'README.md', 'package.json', 'index.js', 'index.mjs', 'index.d.ts', 'index.d.mts',
    'CMakeLists.txt', 'scripts/install.js', ...tree('lib'), ...tree('bin'), ...tree('examples'), ...tree('docs'),
    ...tree('src'),
    ...kArches.map((arch) => path.relative(root, prebuilt(arch))),
  ];
  assert.deepEqual(packed.sort(), wanted.sort());
});

test('the prebuilt binaries need no glibc newer than 2.28 and no libstdc++ newer than GCC 8', () => {
  for (const arch of kArches) {
    const symbols = execFileSync('objdump', ['-T', prebuilt(arch)], { encoding: 'utf8' });
    for (const [library, limit] of Object.entries(kLimits)) {
      const versions = [...symbols.matchAll(new RegExp(`\\b${library}_([0-9.]+)`, 'g'))].map((match) => match[1]);
      assert.ok(versions.length > 0, `${arch}: no ${library} versions found`);
      const tooNew = [...new Set(versions.filter((version) => newer(version, limit)))];
      assert.deepEqual(tooNew, [], `${arch}: needs ${library} versions newer than ${limit}`);
    }
  }
});

test('the README quotes every file of examples/ byte for byte', () => {
  const readme = fs.readFileSync(path.join(root, 'README.md'), 'utf8');
  // A quote: a line that links examples/NAME, a blank line, a js block.
  const quotes = [...readme.matchAll(/\]\(examples\/([\w.-]+)\)[^\n]*\n\n```js\n([\s\S]*?)```/g)];
  const quoted = quotes.map(([, name]) => name);
  assert.deepEqual(quoted.sort(), fs.readdirSync(path.join(root, 'examples')).sort());
  for (const [, name, text] of quotes) {
    assert.equal(text, fs.readFileSync(path.join(root, 'examples', name), 'utf8'), `the README's quote of examples/${name}`);
  }
});

test('an ES module import names every export of the CommonJS entry', async () => {
  const required = require('orvel-capture-audio');
  const { default: whole, ...named } = await import('orvel-capture-audio');
  assert.equal(whole, required);
  assert.deepEqual(named, { ...required });
});

test('the types resolve by name under tsc --strict, from CommonJS and from an ES module, and reject what they must (types.mts)', () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'orvel-types-'));
  try {
    fs.mkdirSync(path.join(dir, 'node_modules'));
    fs.symlinkSync(root, path.join(dir, 'node_modules', 'orvel-capture-audio'));
    fs.symlinkSync(path.join(root, 'node_modules', '@types'), path.join(dir, 'node_modules', '@types'));
    const names = Object.keys(require('orvel-capture-audio')).join(', ');
    const use = `const started: boolean = startCapture({ pipewireTargetId: '1' }, (pcm: Buffer, rate: number) => pcm.length + rate);\nexport { ${names}, started };\n`;
    fs.writeFileSync(path.join(dir, 'esm.mts'), `import capture, { ${names} } from 'orvel-capture-audio';\ncapture.stopCapture();\n${use}`);
    fs.writeFileSync(path.join(dir, 'cjs.cts'), `import capture = require('orvel-capture-audio');\nconst { ${names} } = capture;\n${use}`);
    fs.copyFileSync(path.join(__dirname, 'types.mts'), path.join(dir, 'types.mts'));
    const config = { compilerOptions: { strict: true, module: 'nodenext', noEmit: true, types: ['node'] }, files: ['esm.mts', 'cjs.cts', 'types.mts'] };
    fs.writeFileSync(path.join(dir, 'tsconfig.json'), JSON.stringify(config));
    const tsc = spawnSync(path.join(root, 'node_modules', '.bin', 'tsc'), ['-p', dir], { encoding: 'utf8' });
    assert.equal(tsc.status, 0, `tsc: ${tsc.stdout}${tsc.stderr}`);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
