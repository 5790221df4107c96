// The same packages from CommonJS (an Electron main process, older hosts).
import engine = require('@quillet/engine');
import keywatch = require('@quillet/keywatch');
import appfocus = require('@quillet/appfocus');

export async function check(): Promise<string> {
  const client = await engine.startEngine({ enginePath: engine.enginePath() });
  const s = appfocus.snapshot();
  const front = s.valid ? s.app.name : s.reason;
  await client.close();
  return `${keywatch.status().running} ${front}`;
}
