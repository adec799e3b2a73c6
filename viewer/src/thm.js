// Reads Tarnhold Mesh (.thm) bytes into plain records, as docs/thm-format.md
// describes them, and checks them as `thmdump --check` does: every read is
// bounds-checked, and the first problem is reported with its byte offset.
// The format's numbers are those of format/thm_format.h; a test holds them equal.

export const RECORD_LEAD = 8;
export const MESH = 0, OMNI = 1, SPOT = 2;
const ABSENT_NAME = 1, SHORT_HEADER = 0, REF_LIST_END = -1, SKIN_END_MARK = -14;
const EDGE_VISIBLE = 0x80000000, CORNER_INDEX = 0x7fffffff;
const TRANSPARENCY_MASK = 3, TWO_SIDED = 4, VR_NAME = 8;
const MATRIX = 48, EXTRA = 12, SAMPLE = MATRIX + EXTRA, VERTEX = 24, TRIANGLE = 24;
const MIN_BONE = 1 + MATRIX + EXTRA + 12, MIN_REF_LIST = 4, MIN_SECTION = 1 + 4 + 4;
const NORMAL_TOLERANCE = Math.fround(1e-3);

export class ThmError extends Error {
  constructor(offset, what) {
    super(`offset ${offset}: ${what}`);
    this.offset = offset;
    this.what = what;
  }
}

// Names are 8-bit: each byte is the code point of the same number.
function latin1(bytes) {
  let s = '';
  for (let i = 0; i < bytes.length; i += 4096) s += String.fromCharCode(...bytes.subarray(i, i + 4096));
  return s;
}

class Cursor {
  constructor(bytes) {
    this.b = bytes;
    this.view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    this.pos = 0;
  }
  get remaining() { return this.b.length - this.pos; }
  fail(offset, what) { throw new ThmError(offset, what); }
  need(n, what) {
    if (this.remaining < n) this.fail(this.pos, `truncated: expected ${what} (${n} bytes), ${this.remaining} left`);
  }
  peek(what) { this.need(1, what); return this.b[this.pos]; }
  u8(what) { this.need(1, what); return this.b[this.pos++]; }
  u32(what) { this.need(4, what); const v = this.view.getUint32(this.pos, true); this.pos += 4; return v; }
  i32(what) { this.need(4, what); const v = this.view.getInt32(this.pos, true); this.pos += 4; return v; }
  f32(what) { this.need(4, what); const v = this.view.getFloat32(this.pos, true); this.pos += 4; return v; }
  vec3(what) { this.need(12, what); return [this.f32(what), this.f32(what), this.f32(what)]; }
  matrix(what) { this.need(48, what); return [this.vec3(what), this.vec3(what), this.vec3(what), this.vec3(what)]; }
  extra(what) { this.need(12, what); return [this.u32(what), this.u32(what), this.u32(what)]; }
  str(what) {
    const end = this.b.indexOf(0, this.pos);
    if (end < 0) this.fail(this.pos, `truncated: expected zero-terminated ${what}`);
    const s = latin1(this.b.subarray(this.pos, end));
    this.pos = end + 1;
    return s;
  }
  // An int32 element count that the bytes left can hold at min bytes each.
  count(what, min) {
    const at = this.pos;
    const n = this.i32(what);
    if (n < 0) this.fail(at, `${what} is negative (${n})`);
    if (min !== 0 && n > Math.floor(this.remaining / min))
      this.fail(at, `${what} ${n} needs at least ${n * min} bytes, ${this.remaining} left`);
    return n;
  }
}

function optionalName(c, what) {
  if (c.peek(what) === ABSENT_NAME) { c.u8(what); return null; }
  return c.str(what);
}

function optionalMap(c, nameWhat, amountWhat) {
  const file = optionalName(c, nameWhat);
  if (file === null) return null;
  return { file, amount: c.f32(amountWhat) };
}

function readHeader(c) {
  if (c.peek('material header') === SHORT_HEADER) { c.u8('material header'); return { form: 'short' }; }
  const h = { form: 'long' };
  h.diffuse_map = optionalName(c, 'diffuse map name or byte 1');
  h.name = c.str('material name');
  h.reflection_map = optionalMap(c, 'reflection map name or byte 1', 'reflection amount');
  h.self_illum_map = optionalMap(c, 'self-illumination map name or byte 1', 'self-illumination amount');
  h.flags = c.u8('material flags');
  h.transparency_mode = h.flags & TRANSPARENCY_MASK;
  h.two_sided = (h.flags & TWO_SIDED) !== 0;
  h.vr = (h.flags & VR_NAME) !== 0;
  h.opacity = c.f32('opacity');
  return h;
}

function readSection(c) {
  const s = { offset: c.pos };
  s.header = readHeader(c);
  s.vertices_offset = c.pos;
  const nv = c.count('vertex count', VERTEX);
  s.vertices = new Array(nv);
  for (let i = 0; i < nv; ++i) {
    const sv = c.i32('vertex position index');
    const u = c.f32('vertex u'), v = c.f32('vertex v');
    s.vertices[i] = { sv, uv: [u, v], normal: c.vec3('vertex normal') };
  }
  s.triangles_offset = c.pos;
  const nt = c.count('triangle count', TRIANGLE);
  s.triangles = new Array(nt);
  for (let i = 0; i < nt; ++i) {
    const w = [c.u32('triangle corner word'), c.u32('triangle corner word'), c.u32('triangle corner word')];
    s.triangles[i] = {
      corners: w.map((x) => (x & CORNER_INDEX) >>> 0),
      edges: w.map((x) => (x & EDGE_VISIBLE) !== 0),
      normal: c.vec3('face normal'),
    };
  }
  return s;
}

function readSkin(c, positionCount) {
  const k = { offset: c.pos };
  const nb = c.count('bone count', MIN_BONE);
  k.bones = [];
  for (let i = 0; i < nb; ++i) {
    const b = { offset: c.pos };
    b.name = c.str('bone name');
    b.matrix = c.matrix('bone matrix');
    b.extra = c.extra('bone extra words');
    b.sibling = c.i32('bone sibling');
    b.parent = c.i32('bone parent');
    b.child = c.i32('bone child');
    k.bones.push(b);
  }
  k.frames_offset = c.pos;
  const nf = c.count('frame count', 0);
  k.frame_count = nf;
  k.frame_rate = c.f32('frame rate');
  if (nb !== 0 && nf > Math.floor(c.remaining / (nb * SAMPLE)))
    c.fail(k.frames_offset, `frame count ${nf} with ${nb} bones needs more bytes than the ${c.remaining} left`);
  k.frames = [];
  for (let f = 0; nb !== 0 && f < nf; ++f) {
    const frame = [];
    for (let b = 0; b < nb; ++b) frame.push({ matrix: c.matrix('sample matrix'), extra: c.extra('sample extra words') });
    k.frames.push(frame);
  }
  if (positionCount > Math.floor(c.remaining / MIN_REF_LIST))
    c.fail(c.pos, `truncated: expected ${positionCount} bone reference lists, ${c.remaining} bytes left`);
  k.vertex_refs = [];
  for (let i = 0; i < positionCount; ++i) {
    const list = { offset: c.pos, refs: [] };
    for (;;) {
      const bone = c.i32('bone id or -1');
      if (bone === REF_LIST_END) break;
      list.refs.push({ bone, weight: c.f32('bone weight') });
    }
    k.vertex_refs.push(list);
  }
  k.end_mark_offset = c.pos;
  k.end_mark = c.i32('end mark -14');
  k.notes_offset = c.pos;
  k.notes = [];
  for (;;) {
    const offset = c.pos;
    const text = c.str('note text or empty terminator');
    if (text === '') break;
    k.notes.push({ offset, text, frame: c.i32('note frame') });
  }
  return k;
}

function readMesh(c, r) {
  r.type = 'mesh';
  r.positions_offset = c.pos;
  const np = c.count('position count', 12);
  r.positions = new Array(np);
  for (let i = 0; i < np; ++i) r.positions[i] = c.vec3('position');
  const flagAt = c.pos;
  r.skin_flag = c.u8('skin flag');
  if (r.skin_flag > 1) c.fail(flagAt, `expected skin flag 0 or 1, found ${r.skin_flag}`);
  r.skin = r.skin_flag === 1 ? readSkin(c, np) : null;
  r.materials_offset = c.pos;
  const nm = c.count('material count', MIN_SECTION);
  r.materials = [];
  for (let i = 0; i < nm; ++i) r.materials.push(readSection(c));
  r.name_offset = c.pos;
  r.name = c.str('node name');
  r.parent = c.str('parent name');
}

function readLight(c, r, spot) {
  r.type = spot ? 'spot' : 'omni';
  r.name = c.str('light name');
  r.parent = optionalName(c, 'parent name or byte 1');
  r.position = c.vec3('light position');
  r.range_start = c.f32('range start');
  r.range_end = c.f32('range end');
  r.colour = c.vec3('light colour');
  r.intensity = c.f32('light intensity');
  r.on = c.i32('light on switch');
  if (spot) {
    r.hotspot = c.f32('spot hotspot');
    r.falloff = c.f32('spot falloff');
    r.direction = c.vec3('spot direction');
    r.target_distance = c.f32('spot target distance');
  }
}

// Every record that reads whole, and the first reading error (or null).
export function parse(bytes) {
  const c = new Cursor(bytes);
  const records = [];
  try {
    while (c.remaining > 0) {
      const r = { offset: c.pos };
      const lead = c.u8('record lead byte 8');
      if (lead !== RECORD_LEAD) c.fail(r.offset, `expected record lead byte 8, found ${lead}`);
      const kind = c.u8('record kind');
      if (kind === MESH) readMesh(c, r);
      else if (kind === OMNI || kind === SPOT) readLight(c, r, kind === SPOT);
      else c.fail(r.offset + 1, `expected record kind 0, 1 or 2, found ${kind}`);
      r.size = c.pos - r.offset;
      records.push(r);
    }
    return { records, error: null };
  } catch (e) {
    if (!(e instanceof ThmError)) throw e;
    return { records, error: { offset: e.offset, message: e.what } };
  }
}

// ---- The structural check ------------------------------------------------

const isUnit = (v) => Math.abs(Math.sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]) - 1) <= NORMAL_TOLERANCE;
const isZero = (v) => v[0] === 0 && v[1] === 0 && v[2] === 0;
const linkOk = (l, n) => l === -1 || (l >= 0 && l < n);
const signView = new DataView(new ArrayBuffer(8));
const negativeNaN = (x) => { signView.setFloat64(0, x); return (signView.getUint8(0) & 0x80) !== 0; };
const g = (x) => {
  // printf's %g, which shows a NaN's sign
  if (!Number.isFinite(x)) return Number.isNaN(x) ? (negativeNaN(x) ? '-nan' : 'nan') : x > 0 ? 'inf' : '-inf';
  if (x === 0) return Object.is(x, -0) ? '-0' : '0';
  const e = Math.floor(Math.log10(Math.abs(x)));
  let s = e < -4 || e >= 6 ? x.toExponential(5) : x.toPrecision(6);
  if (s.includes('e')) {
    let [m, ex] = s.split('e');
    if (m.includes('.')) m = m.replace(/0+$/, '').replace(/\.$/, '');
    const n = parseInt(ex, 10);
    return `${m}e${n < 0 ? '-' : '+'}${String(Math.abs(n)).padStart(2, '0')}`;
  }
  if (s.includes('.')) s = s.replace(/0+$/, '').replace(/\.$/, '');
  return s;
};
const vstr = (v) => `(${g(v[0])}, ${g(v[1])}, ${g(v[2])})`;
const latin1Length = (s) => s.length;

function checkSkin(k, positionCount) {
  const nb = k.bones.length;
  for (let i = 0; i < nb; ++i) {
    const b = k.bones[i];
    const links = b.offset + latin1Length(b.name) + 1 + MATRIX + EXTRA;
    const who = `bone ${i} `;
    if (!linkOk(b.sibling, nb)) return [links, `${who}sibling ${b.sibling} out of range`];
    if (!linkOk(b.parent, nb)) return [links + 4, `${who}parent ${b.parent} out of range`];
    if (!linkOk(b.child, nb)) return [links + 8, `${who}child ${b.child} out of range`];
    if (b.sibling !== -1 && k.bones[b.sibling].parent !== b.parent)
      return [links, `${who}sibling ${b.sibling} has another parent`];
    if (b.child !== -1 && k.bones[b.child].parent !== i)
      return [links + 8, `${who}child ${b.child} does not name it as parent`];
  }
  if (k.frame_count < 0) return [k.frames_offset, 'frame count is negative'];
  if (!(k.frame_rate > 0) || !Number.isFinite(k.frame_rate)) return [k.frames_offset + 4, 'frame rate is not a positive number'];
  if (k.vertex_refs.length !== positionCount) return [k.frames_offset, 'bone reference lists do not match the position count'];
  for (let i = 0; i < k.vertex_refs.length; ++i) {
    const list = k.vertex_refs[i];
    if (list.refs.length === 0) return [list.offset, `position ${i} has no bone reference`];
    for (let j = 0; j < list.refs.length; ++j) {
      const r = list.refs[j];
      if (r.bone < 0 || r.bone >= nb) return [list.offset + 8 * j, `position ${i} refers to bone ${r.bone} of ${nb}`];
    }
  }
  if (k.end_mark !== SKIN_END_MARK) return [k.end_mark_offset, `expected end mark -14, found ${k.end_mark}`];
  for (const n of k.notes) if (n.text.length > 255) return [n.offset, 'note text longer than 255 bytes'];
  return null;
}

function flagsOffset(s) {
  const h = s.header;
  let at = s.offset;
  at += h.diffuse_map !== null ? h.diffuse_map.length + 1 : 1;
  at += h.name.length + 1;
  at += h.reflection_map ? h.reflection_map.file.length + 5 : 1;
  at += h.self_illum_map ? h.self_illum_map.file.length + 5 : 1;
  return at;
}

function checkSection(s, index, positionCount) {
  const sec = `material ${index} `;
  if (s.header.form === 'long' && (s.header.flags & 0xf0) !== 0) return [flagsOffset(s), `${sec}flags byte has unused bits set`];
  for (let i = 0; i < s.vertices.length; ++i) {
    const v = s.vertices[i];
    const at = s.vertices_offset + 4 + 24 * i;
    const who = `${sec}vertex ${i} `;
    if (v.sv < 0 || v.sv >= positionCount) return [at, `${who}position index ${v.sv} outside ${positionCount} positions`];
    if (!isUnit(v.normal)) return [at + 12, `${who}normal ${vstr(v.normal)} is not unit length`];
  }
  const nv = s.vertices.length;
  for (let i = 0; i < s.triangles.length; ++i) {
    const t = s.triangles[i];
    const at = s.triangles_offset + 4 + 24 * i;
    const who = `${sec}triangle ${i} `;
    for (let k = 0; k < 3; ++k)
      if (t.corners[k] >= nv) return [at + 4 * k, `${who}corner ${k} refers to vertex ${t.corners[k]} of ${nv}`];
    const sv = (k) => s.vertices[t.corners[k]].sv;
    if (sv(0) === sv(1) || sv(1) === sv(2) || sv(0) === sv(2)) return [at, `${who}has two corners on one position`];
    if (!isUnit(t.normal) && !isZero(t.normal)) return [at + 12, `${who}face normal ${vstr(t.normal)} is neither unit length nor zero`];
  }
  return null;
}

// The first structural problem, as `thmdump --check` finds it: {offset, message}, or null.
export function check(bytes) {
  const r = parse(bytes);
  for (const rec of r.records) {
    if (rec.type !== 'mesh') continue;
    let p = rec.positions.length === 0 ? [rec.positions_offset, 'mesh record has no positions'] : null;
    if (!p && rec.skin) p = checkSkin(rec.skin, rec.positions.length);
    for (let i = 0; !p && i < rec.materials.length; ++i) p = checkSection(rec.materials[i], i, rec.positions.length);
    if (p) return { offset: p[0], message: p[1] };
  }
  return r.error;
}

// The counts `thmview --stats` prints, one entry per record.
export function stats(records) {
  return records.map((r) => {
    const e = { kind: r.type, name: r.name, parent: r.parent, positions: 0, materials: 0, vertices: 0, triangles: 0, bones: 0, frames: 0, notes: 0 };
    if (r.type === 'mesh') {
      e.positions = r.positions.length;
      e.materials = r.materials.length;
      for (const s of r.materials) { e.vertices += s.vertices.length; e.triangles += s.triangles.length; }
      if (r.skin) { e.bones = r.skin.bones.length; e.frames = r.skin.frame_count; e.notes = r.skin.notes.length; }
    }
    return e;
  });
}
