// The Khronos glTF validator on each file given: one JSON line per file with
// its issue counts and the texts of its errors and warnings.
//   node validate.mjs [--search DIR]... FILE.glb|FILE.gltf...
// Referenced files are read from beside the file, else from the --search
// folders (a model's textures stay where the model is). An image found nowhere
// is listed under "missing" and not counted as an error: the file names it as
// the scene did, and the test environment does not have it. A missing buffer
// is an error.
import { readFileSync, existsSync } from 'node:fs';
import { dirname, join } from 'node:path';
import validator from 'gltf-validator';

const args = process.argv.slice(2);
const search = [];
const files = [];
for (let i = 0; i < args.length; ++i) {
  if (args[i] === '--search') search.push(args[++i]);
  else files.push(args[i]);
}

for (const file of files) {
  const missing = [];
  const report = await validator.validateBytes(new Uint8Array(readFileSync(file)), {
    uri: file,
    maxIssues: 0,
    externalResourceFunction: (uri) => new Promise((resolve, reject) => {
      const name = decodeURIComponent(uri);
      for (const dir of [dirname(file), ...search]) {
        const path = join(dir, name);
        if (existsSync(path)) return resolve(new Uint8Array(readFileSync(path)));
      }
      missing.push(name);
      reject(new Error(`not found: ${name}`));
    }),
  });
  const issues = report.issues.messages;
  const missingImage = (m) => m.code === 'IO_ERROR' && /^\/images\/\d+\/uri$/.test(m.pointer || '');
  const counted = issues.filter((m) => !missingImage(m));
  const count = (severity) => counted.filter((m) => m.severity === severity).length;
  console.log(JSON.stringify({
    file,
    errors: count(0),
    warnings: count(1),
    infos: count(2),
    hints: count(3),
    missing,
    messages: counted.filter((m) => m.severity <= 1).map((m) => `${m.code} ${m.pointer || ''}: ${m.message}`),
    info: report.info,
  }));
}
