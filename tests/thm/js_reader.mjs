// The viewer's reader on each file given: one JSON line per file with the
// records it read, its reading error and its check's first problem.
import { readFileSync } from 'node:fs';
import { parse, check } from '../../viewer/src/thm.js';

for (const file of process.argv.slice(2)) {
  const bytes = new Uint8Array(readFileSync(file));
  const r = parse(bytes);
  console.log(JSON.stringify({ file, records: r.records.length, error: r.error, check: check(bytes) }));
}
