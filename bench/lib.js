'use strict';

// Shared by the suites: running one measurement in a process of its own,
// alternating the sides of a comparison, and the statistics.

const { execFile } = require('node:child_process');
const path = require('node:path');

const kMeasure = path.join(__dirname, 'measure.js');
const kTimeoutMs = 60000;

// Runs a program that prints one line of JSON; resolves to that value.
function runJson(file, args, env = process.env) {
  return new Promise((resolve, reject) => {
    execFile(file, args, { env, timeout: kTimeoutMs }, (error, stdout, stderr) => {
      if (error) {
        reject(new Error(`${path.basename(file)} ${args.join(' ')} failed: ${error.message}\n${stderr}`));
      } else {
        resolve(JSON.parse(stdout));
      }
    });
  });
}

function measure(task, side, options, env) {
  return runJson(process.execPath, [kMeasure, task, side, JSON.stringify(options)], env);
}

// The recorder's settings for the fake, on top of this process's
// environment, which the recorder inherits.
function fakeEnv(settings) {
  const env = { ...process.env };
  for (const [key, value] of Object.entries(settings)) env[`ORVEL_FAKE_${key}`] = String(value);
  return env;
}

// A B A B ...: runs every side once per round, in turn; returns each
// side's results in round order.
async function alternate(rounds, sides) {
  const results = Object.fromEntries(Object.keys(sides).map((name) => [name, []]));
  for (let round = 0; round < rounds; round++) {
    for (const [name, run] of Object.entries(sides)) results[name].push(await run());
  }
  return results;
}

function percentile(values, p) {
  const sorted = [...values].sort((a, b) => a - b);
  const index = Math.min(sorted.length - 1, Math.max(0, Math.ceil((p / 100) * sorted.length) - 1));
  return sorted[index];
}

const median = (values) => percentile(values, 50);

module.exports = { runJson, measure, fakeEnv, alternate, percentile, median };
