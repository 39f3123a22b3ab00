'use strict';

// What can be captured, read from `pw-dump`: sinks (recording one by its
// serial records what it plays), sources, and applications' playback
// streams.

const { execFile } = require('child_process');
const { firstDump } = require('./graph');
const { streamIdentity, executableName } = require('./app-identity');
const { checkPulseClients } = require('./pulse-peers');
const errors = require('./errors');

const kSinkClass = 'Audio/Sink';
const kStreamClass = 'Stream/Output/Audio';
const kKinds = [kSinkClass, 'Audio/Source', 'Audio/Duplex', kStreamClass];
const kDumpTimeoutMs = 10000;

function pwDump() {
  return new Promise((resolve, reject) => {
    execFile('pw-dump', [], { maxBuffer: 256 << 20, timeout: kDumpTimeoutMs }, (error, stdout, stderr) => {
      if (error) {
        reject(errors.listFailed(error.code, stderr, error));
        return;
      }
      try {
        resolve(firstDump(stdout));
      } catch (parseError) {
        reject(new Error('pw-dump printed something that is not JSON', { cause: parseError }));
      }
    });
  });
}

// The node name that PipeWire's `default` metadata gives for KEY.
function defaultName(objects, key) {
  const metadata = objects.find(
    (object) => object.type === 'PipeWire:Interface:Metadata' && object.props?.['metadata.name'] === 'default',
  );
  const entry = metadata?.metadata?.find((item) => item.subject === 0 && item.key === key);
  return entry?.value?.name;
}

function kindOf(mediaClass) {
  return kKinds.findIndex((kind) => mediaClass === kind || mediaClass.startsWith(`${kind}/`));
}

function descriptionOf(props) {
  if (props['node.description']) return props['node.description'];
  const parts = [props['application.name'], props['media.name']].filter(Boolean);
  return parts.length > 0 ? parts.join(': ') : props['node.name'];
}

function targetsOf(objects) {
  const defaultSink = defaultName(objects, 'default.audio.sink');
  const defaultSource = defaultName(objects, 'default.audio.source');
  const nodes = objects.filter(
    (object) =>
      object.type === 'PipeWire:Interface:Node' &&
      typeof object.info?.props?.['media.class'] === 'string' &&
      kindOf(object.info.props['media.class']) >= 0,
  );
  const clients = new Map(
    objects.filter((object) => object.type === 'PipeWire:Interface:Client').map((client) => [client.id, client]),
  );
  const checks = checkPulseClients(clients.values());
  const targets = nodes.map((node) => {
    const props = node.info.props;
    // A stream's app: the pid a capture's process options go by, or null
    // with why in processCheck.
    const identity = props['media.class'] === kStreamClass ? streamIdentity(node, clients.get(props['client.id']), checks) : null;
    const processId = identity?.processId ?? null;
    return {
      name: props['node.name'],
      serial: String(props['object.serial']),
      mediaClass: props['media.class'],
      description: descriptionOf(props),
      state: node.info.state,
      isDefaultSink: props['node.name'] === defaultSink,
      isDefaultSource: props['node.name'] === defaultSource,
      processId,
      processName: processId === null ? null : executableName(processId),
      processCheck: identity?.verdict ?? null,
    };
  });
  return targets.sort((a, b) => kindOf(a.mediaClass) - kindOf(b.mediaClass));
}

async function listCaptureTargets() {
  return targetsOf(await pwDump());
}

// Whether TARGET (a serial or node name) names a node that is listed and
// can be recorded by it: WirePlumber looks a name up among sources and
// streams only, so a sink goes by its serial unless SYSTEM
// (pipewireCaptureSink) asks for a sink.
async function isListed(target, system = false) {
  const names = (node) => node.name === target && (system || node.mediaClass !== kSinkClass);
  return (await listCaptureTargets()).some((node) => node.serial === target || names(node));
}

// Whether a capture of TARGET (a serial; undefined: the default source)
// records a sink's monitor: TARGET is a sink, or the default source names
// one.
async function recordsMonitor(target) {
  const named = (node) => (target === undefined ? node.isDefaultSource : node.serial === target);
  return (await listCaptureTargets()).some((node) => named(node) && node.mediaClass === kSinkClass);
}

module.exports = { listCaptureTargets, isListed, recordsMonitor };
