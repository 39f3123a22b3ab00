'use strict';

// node:test with a bound on every test: node:test waits for ever by
// default, so a capture that never ends would hang the suite instead of
// failing the test. A test that gives a timeout of its own keeps it.

const nodeTest = require('node:test');

const kTimeoutMs = 60000;

function bounded(define) {
  return (name, options, fn) => {
    if (typeof options === 'function') [options, fn] = [{}, options];
    return define(name, { timeout: kTimeoutMs, ...options }, fn);
  };
}

const test = bounded(nodeTest.test);

module.exports = { ...nodeTest, test, it: test };
