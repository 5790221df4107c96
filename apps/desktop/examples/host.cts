// The same packages from CommonJS (an Electron main process, older hosts).
import engine = require('@quillet/engine');
import keywatch = require('@quillet/keywatch');
import appfocus = require('@quillet/appfocus');

export async function check(): Promise<string> {
  const client = await engine.startEngine();
  const s = appfocus.snapshot();
  const front = s.valid ? s.app.name : s.reason;
  await client.close();
  return `${keywatch.status().running} ${front} ${client.hello.backends.join(',')}`;
}

// The object require() gives is the one every caller goes through: a test may replace a function.
export function stubForeground(pid: number): void {
  keywatch.foregroundPid = () => pid;
}
