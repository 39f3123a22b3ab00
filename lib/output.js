'use strict';

// Where orvel-record writes, opened so that nothing that was there before is
// lost: a new file is created exclusively, so that it is known to be ours
// and may be removed; an existing file is replaced only on request; a
// device or FIFO is written to as it is; "-" is standard output.
// Only a file opened here can have its header rewritten; the rest is
// streamed.

const fs = require('fs');

const { O_WRONLY, O_CREAT, O_EXCL, O_TRUNC } = fs.constants;

class OutputExistsError extends Error {}

// Returns { fd, path, name, streamed, created }; throws OutputExistsError
// for an existing file without FORCE, or the error of the open.
function openOutput(path, { force = false } = {}) {
  if (path === '-') return { fd: 1, path, name: 'standard output', streamed: true, created: false };
  try {
    const fd = fs.openSync(path, O_WRONLY | O_CREAT | O_EXCL, 0o666);
    return { fd, path, name: path, streamed: false, created: true };
  } catch (error) {
    if (error.code !== 'EEXIST') throw error;
  }
  const isFile = fs.statSync(path, { throwIfNoEntry: false })?.isFile();
  if (isFile && !force) throw new OutputExistsError(`${path} already exists; give --force to replace it`);
  // No O_CREAT: a dangling symbolic link fails rather than making its target.
  const fd = fs.openSync(path, isFile ? O_WRONLY | O_TRUNC : O_WRONLY);
  return { fd, path, name: path, streamed: !isFile, created: false };
}

// Removes the file that openOutput created, if the path still names it.
// Call before the descriptor is closed. Returns whether it was removed.
function removeCreated(output) {
  if (!output.created) return false;
  const now = fs.statSync(output.path, { throwIfNoEntry: false });
  const ours = fs.fstatSync(output.fd);
  if (!now || now.ino !== ours.ino || now.dev !== ours.dev) return false;
  fs.unlinkSync(output.path);
  return true;
}

module.exports = { openOutput, removeCreated, OutputExistsError };
