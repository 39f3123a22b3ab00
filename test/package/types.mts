// Compiled by package.test.js under tsc --strict: what the package's types
// accept, and on each line after @ts-expect-error what they must reject.
import { captureCall, captureStream, type CaptureStreamError } from 'orvel-capture-audio';

export async function chunks(): Promise<number> {
  const stream = captureStream({ format: 's16', channels: 1, sampleRate: 16000 });
  let bytes = 0;
  for await (const chunk of stream) {
    bytes += chunk.byteOffset;
    // @ts-expect-error a chunk is a Buffer, not any
    const text: string = chunk;
  }
  stream.on('data', (chunk) => {
    // @ts-expect-error a chunk is a Buffer, not any
    const count: number = chunk;
  });
  const next: Buffer | null = stream.read();
  // @ts-expect-error read() gives a Buffer or null, not any
  const text: string | null = stream.read();
  return bytes + (next?.length ?? 0);
}

export function errors(): void {
  captureStream({ system: true }).once('error', (error) => {
    const code: CaptureStreamError['code'] = error.code;
    // @ts-expect-error the codes are a union, not any string
    if (error.code === 'ERR_NO_SUCH_CODE') throw error;
  });
}

export function options(): void {
  captureStream();
  captureStream({ target: '42', system: true });
  captureStream({ excludeProcessId: 1234, format: 's16' });
  captureStream({ includeProcessId: [1234, 5678], excludeProcessId: undefined });
  captureStream({ includeProcessName: 'chromium' }).on('warning', (warning) => {
    if (warning.code === 'ERR_PROCESS_OVERCLAIMED') return warning.info.pids.length;
    // @ts-expect-error only an over-claim names pids
    return warning.info.pids;
  });
  // @ts-expect-error one kind of process options, not both
  captureStream({ includeProcessName: 'chromium', excludeProcessId: 5678 });
  // @ts-expect-error one of the process options, not both
  captureStream({ includeProcessId: 1234, excludeProcessId: 5678 });
  // @ts-expect-error a process option does not combine with a target
  captureStream({ target: '42', includeProcessId: 1234 });
  // @ts-expect-error a process option does not combine with a target
  captureStream({ target: '42', excludeProcessId: [1234] });
}

export function timed(): void {
  captureStream({ system: true, timestamps: true }).on('data', ({ pcm, time }) => {
    const nanoseconds: bigint = time;
    const bytes: Buffer = pcm;
    // @ts-expect-error a timed chunk is { pcm, time }, not a Buffer
    const buffer: Buffer = captureStream({ timestamps: true }).read();
  });
  captureCall({ includeProcessId: 1234 }).on('reconnect', ({ gapMs, side }) => gapMs + (side === 'desktop' ? 1 : 0));
  // @ts-expect-error captureCall takes the microphone by name, not a target
  captureCall({ target: '42' });
}
