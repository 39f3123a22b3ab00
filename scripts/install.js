'use strict';

// The package's install step. A binary that loads here (a local build, or the
// prebuilt one for this platform) is kept; otherwise, or when asked with
// npm_config_build_from_source=true (`npm install --build-from-source`), the
// module is built from source with cmake-js. The build tools are not
// dependencies of the package, so an install that a prebuilt binary serves
// never fetches them: a source build outside a clone first installs the
// versions that package.json lists as devDependencies into build/tools.
// Whatever fails is said in one line; the build's own output goes to
// build/install.log.

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.join(__dirname, '..');
const pkg = require('../package.json');

const kBuildTools = ['cmake-js', 'node-addon-api', 'node-api-headers'];
const kToolsDir = path.join(root, 'build', 'tools');
const kLog = path.join(root, 'build', 'install.log');
const kSystemTools = 'cmake, make and a C++17 compiler (Debian, Ubuntu, Alpine: the packages cmake make g++)';

function fail(message) {
  console.error(`orvel-capture-audio: ${message}`);
  process.exit(1);
}

function binaryLoads() {
  const probe = `require('node-gyp-build')(${JSON.stringify(root)})`;
  return spawnSync(process.execPath, ['-e', probe], { cwd: root, stdio: 'ignore' }).status === 0;
}

function onPath(command) {
  return spawnSync('sh', ['-c', 'command -v "$1"', 'sh', command], { stdio: 'ignore' }).status === 0;
}

function missingSystemTools() {
  const compilers = process.env.CXX ? [process.env.CXX.split(' ')[0]] : ['c++', 'g++', 'clang++'];
  const missing = [];
  if (!onPath('cmake')) missing.push('cmake');
  if (!onPath('make') && !onPath('ninja')) missing.push('make');
  if (!compilers.some(onPath)) missing.push('g++');
  return missing;
}

// Runs COMMAND with its output appended to the log; true when it succeeded.
function logged(command, args, env = process.env) {
  const log = fs.openSync(kLog, 'a');
  fs.writeSync(log, `$ ${command} ${args.join(' ')}\n`);
  const { status } = spawnSync(command, args, { cwd: root, env, stdio: ['ignore', log, log] });
  fs.closeSync(log);
  return status === 0;
}

function resolves(name, paths) {
  try {
    require.resolve(`${name}/package.json`, { paths });
    return true;
  } catch {
    return false;
  }
}

// The environment for cmake-js: where CMakeLists.txt finds the Node-API
// headers packages (through NODE_PATH when they were fetched here).
function buildTools() {
  if (kBuildTools.every((name) => resolves(name, [root]))) return process.env;
  const npmCli = process.env.npm_execpath;
  const npm = npmCli && npmCli.endsWith('.js') ? [process.execPath, npmCli] : ['npm'];
  const specs = kBuildTools.map((name) => `${name}@${pkg.devDependencies[name]}`);
  const args = ['install', '--prefix', kToolsDir, '--no-save', '--no-package-lock', '--ignore-scripts', '--no-audit', '--no-fund', ...specs];
  if (!logged(npm[0], [...npm.slice(1), ...args])) {
    fail(`fetching the build tools (${specs.join(' ')}) from the npm registry failed; see ${kLog}`);
  }
  return { ...process.env, NODE_PATH: path.join(kToolsDir, 'node_modules') };
}

const asked = process.env.npm_config_build_from_source === 'true';
if (!asked && binaryLoads()) process.exit(0);

const missing = missingSystemTools();
if (missing.length > 0) {
  const why = asked ? 'building from source' : `no prebuilt binary loads on ${process.platform}-${process.arch}, and building from source`;
  fail(`${why} needs ${missing.join(', ')}: install ${kSystemTools}, then install again`);
}
fs.mkdirSync(path.dirname(kLog), { recursive: true });
fs.rmSync(kLog, { force: true });
const env = buildTools();
const cmakeJs = require.resolve('cmake-js/bin/cmake-js', { paths: [root, kToolsDir] });
if (!logged(process.execPath, [cmakeJs, 'compile'], env) || !binaryLoads()) {
  fail(`building from source failed (see ${kLog}); it needs Node.js 20.17 or later and ${kSystemTools}`);
}
