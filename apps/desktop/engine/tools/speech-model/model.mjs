// Where the committed toy speech model is and how to load it.
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));

export const MODEL_PATH = path.join(here, 'toy-dictation-q8_0.bin');

// Trained on 256 encoder positions (5.12 s windows): every request must
// decode at that context, so the short window covers any request length.
export const LOAD_OPTIONS = Object.freeze({ shortWindowSamples: 9600001, shortAudioCtx: 256 });
