'use strict';

// What can be captured, read from `pw-dump`: sinks (recording one by its
// serial records what it plays), sources, and applications' playback
// streams.

const { kType, kMediaClass, kKey, readGraph, defaultNodeNames } = require('./pipewire');
const { streamIdentity, executableName } = require('./app-identity');
const { checkPulseClients } = require('./pulse-peers');

// In the order they are listed.
const kKinds = [kMediaClass.sink, kMediaClass.source, kMediaClass.duplex, kMediaClass.playback];

function kindOf(mediaClass) {
  return kKinds.findIndex((kind) => mediaClass === kind || mediaClass.startsWith(`${kind}/`));
}

function descriptionOf(props) {
  if (props[kKey.nodeDescription]) return props[kKey.nodeDescription];
  const parts = [props[kKey.applicationName], props[kKey.mediaName]].filter(Boolean);
  return parts.length > 0 ? parts.join(': ') : props[kKey.nodeName];
}

function targetsOf(objects) {
  const defaults = defaultNodeNames(objects);
  const nodes = objects.filter(
    (object) =>
      object.type === kType.node &&
      typeof object.info?.props?.[kKey.mediaClass] === 'string' &&
      kindOf(object.info.props[kKey.mediaClass]) >= 0,
  );
  const clients = new Map(
    objects.filter((object) => object.type === kType.client).map((client) => [client.id, client]),
  );
  const checks = checkPulseClients(clients.values());
  const targets = nodes.map((node) => {
    const props = node.info.props;
    // A stream's app: the pid a capture's process options go by, or null
    // with why in processCheck.
    const identity =
      props[kKey.mediaClass] === kMediaClass.playback ? streamIdentity(node, clients.get(props[kKey.clientId]), checks) : null;
    const processId = identity?.processId ?? null;
    return {
      name: props[kKey.nodeName],
      serial: String(props[kKey.serial]),
      mediaClass: props[kKey.mediaClass],
      description: descriptionOf(props),
      state: node.info.state,
      isDefaultSink: props[kKey.nodeName] === defaults.sink,
      isDefaultSource: props[kKey.nodeName] === defaults.source,
      processId,
      processName: processId === null ? null : executableName(processId),
      processCheck: identity?.verdict ?? null,
    };
  });
  return targets.sort((a, b) => kindOf(a.mediaClass) - kindOf(b.mediaClass));
}

async function listCaptureTargets() {
  return targetsOf(await readGraph());
}

// Whether TARGET (a serial or node name) names one of TARGETS (a list of
// them) that can be recorded by it: WirePlumber looks a name up among
// sources and streams only, so a sink goes by its serial unless SYSTEM
// (a stream of a sink) asks for one.
function isListed(targets, target, system = false) {
  const names = (node) => node.name === target && (system || node.mediaClass !== kMediaClass.sink);
  return targets.some((node) => node.serial === target || names(node));
}

// Whether a capture of TARGET (a serial; undefined: the default source)
// records a sink's monitor, by TARGETS: TARGET is a sink, or the default
// source names one.
function recordsMonitor(targets, target) {
  const named = (node) => (target === undefined ? node.isDefaultSource : node.serial === target);
  return targets.some((node) => named(node) && node.mediaClass === kMediaClass.sink);
}

module.exports = { listCaptureTargets, isListed, recordsMonitor };
