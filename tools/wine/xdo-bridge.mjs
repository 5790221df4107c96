// Runs on Linux next to the Wine stage: node.exe cannot start Linux programs,
// so the tests inside Wine drop xdotool requests (req-N.json, an argument
// list) into a folder and this loop answers each with res-N.json.
import { spawnSync } from 'node:child_process';
import { readdirSync, readFileSync, renameSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';

const dir = process.argv[2];
const done = new Set();

function serve() {
  for (const name of readdirSync(dir)) {
    const m = /^req-(\w+)\.json$/.exec(name);
    if (!m || done.has(name)) continue;
    done.add(name);
    const args = JSON.parse(readFileSync(join(dir, name), 'utf8'));
    const r = spawnSync('xdotool', args, { encoding: 'utf8', timeout: 8000 });
    const res = { code: r.status ?? -1, stdout: r.stdout ?? '', stderr: (r.stderr ?? '') + (r.error ? r.error.message : '') };
    writeFileSync(join(dir, `res-${m[1]}.tmp`), JSON.stringify(res));
    renameSync(join(dir, `res-${m[1]}.tmp`), join(dir, `res-${m[1]}.json`));
    console.log(`xdotool ${args.join(' ')} -> ${res.code}`);
  }
}

setInterval(serve, 10);
