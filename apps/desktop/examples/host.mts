// A small host, as a Node/Electron program would use the three packages.
// It is compiled with `tsc --strict --noEmit` by the tests; each line under
// an expect-error directive is a mistake the typings must keep refusing.

import { readFile } from 'node:fs/promises';

import { EngineError, enginePath, startEngine, type Dictation, type ResultLine } from '@quillet/engine';
import * as keywatch from '@quillet/keywatch';
import keywatchObject from '@quillet/keywatch';
import { snapshot, start as startTracker, type ContextSnapshot } from '@quillet/appfocus';

// Streams a recording in 100 ms pieces, as a microphone would deliver it.
async function dictate(modelPath: string, pcm: Int16Array, signal: AbortSignal): Promise<string> {
  // The engine the package ships; the decode threads are the client's default.
  const engine = await startEngine({ stderr: 'ignore' });
  console.log(`engine ${engine.hello.whisper}`); // set once startEngine() has resolved
  // @ts-expect-error: not an event the client emits
  engine.on('lines', () => {});
  engine.on('exit', (info) => console.log(`engine exited with ${info.code}`));
  try {
    await engine.load({ modelPath, device: 'auto', signal });
    let dictation: Dictation;
    try {
      dictation = await engine.begin({ language: 'en', signal });
    } catch (err) {
      if (err instanceof EngineError && err.code === 'LANGUAGE_UNSUPPORTED') return '';
      throw err;
    }
    for (let i = 0; i < pcm.length; i += 1600) {
      // false: the dictation has ended, and finish() says why.
      if (!(await dictation.write(pcm.subarray(i, i + 1600)))) break;
    }
    const result: ResultLine = await dictation.finish({ signal });
    return result.text;
  } catch (err) {
    if (err instanceof EngineError) {
      switch (err.code) {
        case 'MODEL_MISSING':
          return `no model at ${err.path ?? modelPath}`;
        case 'MODEL_INVALID':
          return `not a model: ${err.reason ?? 'refused'}`;
        case 'ENGINE_EXITED':
        case 'TIMEOUT':
          return 'the engine stopped; start it again';
        default:
          throw err;
      }
    }
    throw err;
  } finally {
    await engine.close();
  }
}

function describeFront(s: ContextSnapshot): string {
  if (s.valid) return `${s.app.name} (pid ${s.app.processId})`;
  // @ts-expect-error: `app` is null unless `valid`
  const name: string = s.app.name;
  return `${s.reason}${name}`;
}

function watchKeys(): void {
  const status = keywatch.start();
  if (status.failure === 'raw-input-already-owned') keywatch.stop();
  // @ts-expect-error: not a failure the module can report
  if (status.failure === 'raw-input-taken') keywatch.stop();
  for (const frame of keywatch.drain().frames) {
    if (frame.kind === 'event' && frame.key === 'RightControl' && !frame.down) keywatch.sendKeys('paste');
  }
  // @ts-expect-error: not one of the four commands
  keywatch.sendKeys('pastee');
}

// A unit test's stand-in: the default export is the object every caller goes through.
function stubKeystrokes(): () => void {
  const real = keywatchObject.sendKeys;
  keywatchObject.sendKeys = () => 'sent';
  return () => {
    keywatchObject.sendKeys = real;
  };
}

async function main(): Promise<void> {
  const [wav, model] = process.argv.slice(2);
  const bytes = await readFile(wav);
  const pcm = new Int16Array(bytes.buffer, bytes.byteOffset + 44, (bytes.byteLength - 44) >> 1);
  startTracker();
  // @ts-expect-error: the tracker takes no options
  startTracker({ pollMs: 100 });
  const restore = stubKeystrokes();
  watchKeys();
  restore();
  const controller = new AbortController();
  console.log(await dictate(model, pcm, controller.signal), describeFront(snapshot()));
  // @ts-expect-error: raw bytes are not samples; wrap them in an Int16Array
  await (await startEngine({ enginePath: enginePath() })).transcribe({ samples: bytes });
  // @ts-expect-error: enginePath names a file, not a flag
  await startEngine({ enginePath: true });
}

main().catch((err: unknown) => {
  console.error(err);
  process.exitCode = 1;
});
