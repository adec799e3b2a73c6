// The viewer page: reads .thm files with thm.js and shows them with three.js.
// URL parameters: file=URL (repeatable), mode=view|png|stats|dump, frame=N,
// camera=front|side|top|iso. thmview drives the png, stats and dump modes.
import * as THREE from 'three';
import { OrbitControls } from 'three/addons/controls/OrbitControls.js';
import { TGALoader } from 'three/addons/loaders/TGALoader.js';
import { DDSLoader } from 'three/addons/loaders/DDSLoader.js';
import { GLTFLoader } from 'three/addons/loaders/GLTFLoader.js';
import { parse, check, stats } from './thm.js';

const params = new URLSearchParams(location.search);
const mode = params.get('mode') || 'view';
if (mode !== 'view') document.body.classList.add('bare');

// ---- Frames: the file holds the host's axes with y and z negated; the
// host is z-up, three.js is y-up. -------------------------------------------
const fileToThree = (p) => new THREE.Vector3(p[0], -p[2], p[1]);
const hostToThree = (p) => new THREE.Vector3(p[0], p[2], -p[1]);

// A bone matrix (four rows: axes, then translation; p' = p.x*r0 + p.y*r1 + p.z*r2 + r3) as a Matrix4
// acting on column vectors in host space.
function hostMatrix(m) {
  const e = new THREE.Matrix4();
  e.set(m[0][0], m[1][0], m[2][0], m[3][0], m[0][1], m[1][1], m[2][1], m[3][1], m[0][2], m[1][2], m[2][2], m[3][2], 0, 0, 0, 1);
  return e;
}
const FILE_FROM_HOST = new THREE.Matrix4().makeScale(1, -1, -1); // its own inverse

// ---- The scene ------------------------------------------------------------
const container = document.getElementById('view');
const renderer = new THREE.WebGLRenderer({ antialias: mode === 'view', preserveDrawingBuffer: true });
renderer.setPixelRatio(mode === 'view' ? window.devicePixelRatio : 1);
container.appendChild(renderer.domElement);
const scene = new THREE.Scene();
scene.background = new THREE.Color(0x30343b);
const camera = new THREE.PerspectiveCamera(40, 1, 0.01, 1e7);
scene.add(new THREE.HemisphereLight(0xffffff, 0x445566, 1.6));
const sun = new THREE.DirectionalLight(0xffffff, 1.6);
scene.add(sun);
scene.add(sun.target);
const controls = new OrbitControls(camera, renderer.domElement);
controls.addEventListener('change', () => render());

const state = { files: [], frame: 0, frames: 0, rate: 30, playing: false, animated: [], gltfs: [] };

function render() {
  renderer.render(scene, camera);
}

function resize() {
  const w = container.clientWidth || window.innerWidth, h = container.clientHeight || window.innerHeight;
  renderer.setSize(w, h, false);
  renderer.domElement.style.width = w + 'px';
  renderer.domElement.style.height = h + 'px';
  camera.aspect = w / h;
  camera.updateProjectionMatrix();
  render();
}
window.addEventListener('resize', resize);

// A colour per material name, stable from file to file.
function colourOf(name) {
  let h = 2166136261;
  for (let i = 0; i < name.length; ++i) h = Math.imul(h ^ name.charCodeAt(i), 16777619);
  return new THREE.Color().setHSL(((h >>> 0) % 360) / 360, 0.45, 0.6);
}

let checker = null;
function checkerTexture() {
  if (checker) return checker;
  const c = document.createElement('canvas');
  c.width = c.height = 256;
  const g = c.getContext('2d');
  for (let y = 0; y < 8; ++y)
    for (let x = 0; x < 8; ++x) {
      g.fillStyle = (x + y) % 2 ? '#e8e8e8' : '#707070';
      g.fillRect(x * 32, y * 32, 32, 32);
    }
  g.fillStyle = '#d33';
  g.fillRect(0, 0, 32, 32); // marks u = 0, v = 0
  checker = new THREE.CanvasTexture(c);
  checker.wrapS = checker.wrapT = THREE.RepeatWrapping;
  checker.flipY = false;
  checker.colorSpace = THREE.SRGBColorSpace;
  return checker;
}

// The texture formats game artists use: TGA and DDS by their own loaders, the rest as browser images.
function textureLoader(url) {
  const ext = url.split('?')[0].split('.').pop().toLowerCase();
  if (ext === 'tga') return new TGALoader();
  if (ext === 'dds') return new DDSLoader();
  return new THREE.TextureLoader();
}

function loadDiffuse(url, material) {
  return new Promise((resolve) => {
    textureLoader(url).load(
      url,
      (t) => {
        t.flipY = false;
        // A DDS without its mipmaps cannot be sampled with mipmapping.
        if (t.isCompressedTexture && t.mipmaps.length <= 1) t.minFilter = THREE.LinearFilter;
        t.wrapS = t.wrapT = THREE.RepeatWrapping;
        t.colorSpace = THREE.SRGBColorSpace;
        material.map = t;
        material.color.set(0xffffff);
        material.needsUpdate = true;
        resolve(true);
      },
      undefined,
      () => resolve(false));
  });
}

// One mesh record: a three.js mesh per material section over shared positions.
function buildMesh(rec, baseUrl, pending) {
  const group = new THREE.Group();
  group.name = rec.name;
  const P = rec.positions.map(fileToThree);
  const sections = [];
  rec.materials.forEach((s, si) => {
    const n = s.vertices.length;
    const pos = new Float32Array(n * 3), nor = new Float32Array(n * 3), uv = new Float32Array(n * 2);
    s.vertices.forEach((v, i) => {
      const p = P[v.sv] || new THREE.Vector3();
      pos.set([p.x, p.y, p.z], i * 3);
      const q = fileToThree(v.normal);
      nor.set([q.x, q.y, q.z], i * 3);
      uv.set(v.uv, i * 2);
    });
    // Faces wound as their written normal says, so that front faces face out.
    const index = [];
    const a = new THREE.Vector3(), b = new THREE.Vector3(), c = new THREE.Vector3();
    for (const t of s.triangles) {
      const [i, j, k] = t.corners;
      a.fromArray(pos, i * 3); b.fromArray(pos, j * 3); c.fromArray(pos, k * 3);
      const fn = fileToThree(t.normal);
      const cross = b.sub(a).cross(c.sub(a));
      if (cross.dot(fn) < 0) index.push(i, k, j); else index.push(i, j, k);
    }
    const geo = new THREE.BufferGeometry();
    geo.setAttribute('position', new THREE.BufferAttribute(pos, 3));
    geo.setAttribute('normal', new THREE.BufferAttribute(nor, 3));
    geo.setAttribute('uv', new THREE.BufferAttribute(uv, 2));
    geo.setIndex(index);
    const h = s.header;
    const name = h.form === 'long' ? h.name : '';
    const mat = new THREE.MeshStandardMaterial({ color: colourOf(name || rec.name), roughness: 0.75, metalness: 0.05 });
    if (h.form === 'long') {
      if (h.two_sided) mat.side = THREE.DoubleSide;
      if (h.opacity < 1) { mat.transparent = true; mat.opacity = Math.max(0.05, h.opacity); }
      if (h.transparency_mode === 2) mat.blending = THREE.AdditiveBlending;
      if (h.diffuse_map) {
        mat.map = checkerTexture();
        mat.color.set(0xffffff);
        pending.push(loadDiffuse(new URL(h.diffuse_map.replace(/\\/g, '/').split('/').pop(), baseUrl).href, mat));
      }
    }
    const mesh = new THREE.Mesh(geo, mat);
    group.add(mesh);
    sections.push({ s, geo, mesh });
  });
  return { group, P, sections };
}

// Vertex normals as short lines, and hard edges: edges where the faces on
// either side do not share their corners' normals.
function buildOverlays(built, size) {
  const normals = [], hard = [];
  const len = size * 0.02;
  const edges = new Map();
  for (const { s, geo } of built.sections) {
    const pos = geo.getAttribute('position'), nor = geo.getAttribute('normal');
    for (let i = 0; i < pos.count; ++i) {
      normals.push(pos.getX(i), pos.getY(i), pos.getZ(i),
        pos.getX(i) + nor.getX(i) * len, pos.getY(i) + nor.getY(i) * len, pos.getZ(i) + nor.getZ(i) * len);
    }
    for (const t of s.triangles)
      for (let k = 0; k < 3; ++k) {
        const va = t.corners[k], vb = t.corners[(k + 1) % 3];
        const a = s.vertices[va], b = s.vertices[vb];
        if (!a || !b) continue;
        const key = a.sv < b.sv ? `${a.sv},${b.sv}` : `${b.sv},${a.sv}`;
        const ends = a.sv < b.sv ? [a.normal, b.normal] : [b.normal, a.normal];
        const list = edges.get(key);
        if (list) list.push(ends); else edges.set(key, [ends]);
      }
  }
  const same = (p, q) => p[0] === q[0] && p[1] === q[1] && p[2] === q[2];
  for (const [key, list] of edges) {
    if (list.length < 2) continue;
    if (list.every((e) => same(e[0], list[0][0]) && same(e[1], list[0][1]))) continue;
    const [i, j] = key.split(',').map(Number);
    const p = built.P[i], q = built.P[j];
    hard.push(p.x, p.y, p.z, q.x, q.y, q.z);
  }
  const lines = (arr, colour) => {
    const g = new THREE.BufferGeometry();
    g.setAttribute('position', new THREE.Float32BufferAttribute(arr, 3));
    return new THREE.LineSegments(g, new THREE.LineBasicMaterial({ color: colour }));
  };
  return { normals: lines(normals, 0x66ccff), hard: lines(hard, 0xff5533) };
}

// Skinned playback: the positions follow their bones from the tick-0 pose.
function buildSkin(rec, built) {
  const k = rec.skin;
  const nb = k.bones.length;
  const inverse0 = k.bones.map((b) => hostMatrix(b.matrix).invert());
  const skeleton = new THREE.Group();
  const joints = k.bones.map((b) => {
    const m = new THREE.Mesh(new THREE.SphereGeometry(1, 8, 6), new THREE.MeshBasicMaterial({ color: 0xffdd55, depthTest: false }));
    m.renderOrder = 2;
    m.userData.bone = b.name;
    skeleton.add(m);
    return m;
  });
  const linkGeo = new THREE.BufferGeometry();
  linkGeo.setAttribute('position', new THREE.Float32BufferAttribute(new Float32Array(nb * 6), 3));
  const links = new THREE.LineSegments(linkGeo, new THREE.LineBasicMaterial({ color: 0xffdd55, depthTest: false }));
  links.renderOrder = 2;
  skeleton.add(links);
  const rest = built.P.map((p) => p.clone());
  const deform = new Array(nb);
  const v = new THREE.Vector3(), acc = new THREE.Vector3();
  function pose(f) {
    const frame = k.frames.length ? k.frames[Math.min(f, k.frames.length - 1)] : null;
    const boneAt = [];
    for (let b = 0; b < nb; ++b) {
      const m = frame ? hostMatrix(frame[b].matrix) : hostMatrix(k.bones[b].matrix);
      // In the file's frame: to host, the bone's motion since tick 0, back.
      deform[b] = FILE_FROM_HOST.clone().multiply(m).multiply(inverse0[b]).multiply(FILE_FROM_HOST);
      boneAt.push(hostToThree([m.elements[12], m.elements[13], m.elements[14]]));
    }
    // Positions: the weighted motion of their bones.
    const P = built.P;
    for (let i = 0; i < P.length; ++i) {
      const refs = k.vertex_refs[i] ? k.vertex_refs[i].refs : [];
      let sum = 0;
      acc.set(0, 0, 0);
      const file = [rest[i].x, rest[i].z, -rest[i].y]; // three -> file
      for (const r of refs) {
        if (r.bone < 0 || r.bone >= nb) continue;
        v.set(file[0], file[1], file[2]).applyMatrix4(deform[r.bone]).multiplyScalar(r.weight);
        acc.add(v);
        sum += r.weight;
      }
      if (sum > 0) P[i].copy(fileToThree([acc.x / sum, acc.y / sum, acc.z / sum]));
      else P[i].copy(rest[i]);
    }
    for (const { s, geo } of built.sections) {
      const pos = geo.getAttribute('position');
      s.vertices.forEach((vx, j) => { const p = P[vx.sv]; if (p) pos.setXYZ(j, p.x, p.y, p.z); });
      pos.needsUpdate = true;
      geo.computeBoundingSphere();
      geo.computeBoundingBox(); // framing follows the pose
    }
    const lp = linkGeo.getAttribute('position');
    k.bones.forEach((b, i) => {
      joints[i].position.copy(boneAt[i]);
      const parent = b.parent >= 0 && b.parent < nb ? boneAt[b.parent] : boneAt[i];
      lp.setXYZ(2 * i, parent.x, parent.y, parent.z);
      lp.setXYZ(2 * i + 1, boneAt[i].x, boneAt[i].y, boneAt[i].z);
    });
    lp.needsUpdate = true;
    linkGeo.computeBoundingBox();
    linkGeo.computeBoundingSphere();
  }
  return { skeleton, joints, pose };
}

function buildLight(rec) {
  const g = new THREE.Group();
  g.name = rec.name;
  g.userData.light = true;
  const colour = new THREE.Color(rec.colour[0], rec.colour[1], rec.colour[2]);
  if (!rec.on) colour.multiplyScalar(0.3);
  const at = hostToThree(rec.position);
  g.position.copy(at);
  const dot = new THREE.Mesh(new THREE.SphereGeometry(1, 12, 8), new THREE.MeshBasicMaterial({ color: colour }));
  dot.userData.gizmo = true;
  g.userData.dot = dot;
  g.add(dot);
  const wire = (r, opacity) => {
    const m = new THREE.Mesh(new THREE.SphereGeometry(r, 24, 12),
      new THREE.MeshBasicMaterial({ color: colour, wireframe: true, transparent: true, opacity }));
    g.add(m);
  };
  const finite = (x) => Number.isFinite(x) && x > 0 && x < 1e12;
  if (rec.type === 'omni') {
    if (finite(rec.range_start)) wire(rec.range_start, 0.35);
    if (finite(rec.range_end)) wire(rec.range_end, 0.15);
  } else {
    const dir = hostToThree(rec.direction).normalize();
    const length = finite(rec.target_distance) ? rec.target_distance : 50;
    const cone = (angleDeg, opacity) => {
      const r = Math.tan(THREE.MathUtils.degToRad(Math.min(angleDeg, 170) / 2)) * length;
      const geo = new THREE.ConeGeometry(r, length, 24, 1, true);
      geo.translate(0, -length / 2, 0);
      const m = new THREE.Mesh(geo, new THREE.MeshBasicMaterial({ color: colour, wireframe: true, transparent: true, opacity }));
      m.quaternion.setFromUnitVectors(new THREE.Vector3(0, -1, 0), dir);
      g.add(m);
    };
    cone(rec.hotspot, 0.45);
    cone(rec.falloff, 0.2);
  }
  return g;
}

// ---- The panel --------------------------------------------------------------
function el(tag, attrs = {}, ...children) {
  const e = document.createElement(tag);
  Object.assign(e, attrs);
  for (const c of children) e.append(c);
  return e;
}

function showFile(f) {
  const box = el('div', { className: 'file' }, el('h2', { textContent: f.name }));
  if (f.error) {
    document.getElementById('errors').append(el('div', { className: 'error', textContent: `${f.name}: offset ${f.error.offset}: ${f.error.message}` }));
  }
  f.records.forEach((r, i) => {
    const st = f.stats[i];
    const item = el('div', { className: 'record' });
    const vis = el('input', { type: 'checkbox', checked: true });
    vis.addEventListener('change', () => { f.objects[i].visible = vis.checked; render(); });
    item.append(el('label', {}, vis, el('span', { className: 'kind', textContent: ` ${r.type} ` }), `"${r.name}"`,
      r.parent ? ` in "${r.parent}"` : ''));
    const t = el('table');
    const row = (k, v) => t.append(el('tr', {}, el('td', { textContent: k }), el('td', { textContent: String(v) })));
    if (r.type === 'mesh') {
      row('positions', st.positions); row('vertices', st.vertices); row('triangles', st.triangles);
      if (r.skin) { row('bones', st.bones); row('frames', `${st.frames} at ${r.skin.frame_rate} fps`); row('notes', st.notes); }
      item.append(t);
      for (const s of r.materials) {
        const h = s.header;
        const name = h.form === 'long' ? h.name : '(short header)';
        const sw = el('span', { className: 'swatch' });
        sw.style.background = '#' + colourOf(h.form === 'long' ? h.name || r.name : r.name).getHexString();
        const details = h.form === 'long'
          ? ` map ${h.diffuse_map ?? 'none'}, opacity ${h.opacity}, ${['opaque', 'filter', 'additive', 'mode 3'][h.transparency_mode]}${h.two_sided ? ', two-sided' : ''}${h.reflection_map ? `, reflection ${h.reflection_map.file}` : ''}${h.self_illum_map ? `, self-illum ${h.self_illum_map.file}` : ''}`
          : '';
        item.append(el('div', { className: 'material' }, sw, `${name}: ${s.vertices.length} vertices, ${s.triangles.length} triangles;${details}`));
      }
    } else {
      row('colour', r.colour.map((x) => x.toFixed(2)).join(' '));
      row('intensity', r.intensity);
      row('range', `${r.range_start} to ${r.range_end}`);
      row('on', r.on);
      if (r.type === 'spot') { row('hotspot', r.hotspot); row('falloff', r.falloff); }
      item.append(t);
    }
    box.append(item);
  });
  document.getElementById('files').append(box);
}

// ---- Timeline ---------------------------------------------------------------
const slider = document.getElementById('frame');
const playButton = document.getElementById('play');
function setFrame(f) {
  state.frame = f;
  slider.value = String(f);
  document.getElementById('frameLabel').textContent = `${f} / ${Math.max(0, state.frames - 1)}`;
  for (const a of state.animated) a.pose(f);
  render();
}
slider.addEventListener('input', () => { state.playing = false; playButton.textContent = 'play'; setFrame(Number(slider.value)); });
playButton.addEventListener('click', () => {
  state.playing = !state.playing;
  playButton.textContent = state.playing ? 'pause' : 'play';
  if (state.playing) requestAnimationFrame(tick);
});
let started = 0, startFrame = 0;
function tick(t) {
  if (!state.playing) return;
  if (!started) { started = t; startFrame = state.frame; }
  const f = Math.floor(startFrame + ((t - started) / 1000) * state.rate) % Math.max(1, state.frames);
  if (f !== state.frame) setFrame(f);
  requestAnimationFrame(tick);
}
function showTimeline(skins) {
  if (!skins.length || mode !== 'view') return;
  state.frames = Math.max(...skins.map((k) => k.frame_count));
  state.rate = skins[0].frame_rate > 0 ? skins[0].frame_rate : 30;
  slider.max = String(Math.max(0, state.frames - 1));
  const notes = document.getElementById('notes');
  for (const k of skins)
    for (const n of k.notes) {
      const x = state.frames > 1 ? (n.frame / (state.frames - 1)) * 100 : 0;
      const mark = el('span', { className: 'note', textContent: n.text, title: `frame ${n.frame}: ${n.text}` });
      mark.style.left = `${Math.min(100, Math.max(0, x))}%`;
      notes.append(mark);
    }
  document.getElementById('timeline').hidden = false;
  setFrame(0);
}

// ---- Loading ----------------------------------------------------------------
const overlays = { normals: [], hard: [], skeleton: [], lights: [] };

// A glTF file (thmdump --gltf's, or any other) through three.js's own loader,
// beside the .thm files: the same scene, the same axes (glTF is y-up).
async function addGltf(name, bytes, baseUrl) {
  // Images in the formats game artists use, as the .thm pages load them.
  const manager = new THREE.LoadingManager();
  manager.addHandler(/\.tga$/i, new TGALoader());
  manager.addHandler(/\.dds$/i, new DDSLoader());
  const gltf = await new GLTFLoader(manager).parseAsync(bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength),
    new URL('.', baseUrl).href);
  const root = gltf.scene;
  scene.add(root);
  const f = { name, records: [], readError: null, error: null, stats: [], objects: [root], skins: [] };
  const mixer = new THREE.AnimationMixer(root);
  const actions = gltf.animations.map((clip) => mixer.clipAction(clip));
  for (const a of actions) a.play();
  const rate = gltf.animations.length && gltf.animations[0].userData?.frame_rate ? gltf.animations[0].userData.frame_rate : 30;
  state.gltfs.push({ pose: (frame) => { mixer.setTime(frame / rate); root.updateMatrixWorld(true); } });
  mixer.setTime(0);
  state.files.push(f);
  showFile(f);
  return f;
}

async function addFile(name, bytes, baseUrl) {
  if (/\.(glb|gltf)$/i.test(name)) return addGltf(name, bytes, baseUrl);
  const result = parse(bytes);
  const problem = check(bytes);
  const f = { name, records: result.records, readError: result.error, error: problem, stats: stats(result.records), objects: [], skins: [] };
  const pending = [];
  const box = new THREE.Box3();
  const builtMeshes = [];
  for (const r of f.records) {
    if (r.type === 'mesh') {
      const built = buildMesh(r, baseUrl, pending);
      scene.add(built.group);
      f.objects.push(built.group);
      builtMeshes.push(built);
      box.expandByObject(built.group);
      if (r.skin && r.skin.bones.length) {
        const skin = buildSkin(r, built);
        built.group.add(skin.skeleton);
        overlays.skeleton.push(skin.skeleton);
        state.animated.push(skin);
        f.skins.push(r.skin);
      } else if (r.skin) {
        f.skins.push(r.skin);
      }
    } else {
      const g = buildLight(r);
      scene.add(g);
      f.objects.push(g);
      overlays.lights.push(g);
    }
  }
  for (const o of f.objects) if (o.userData.light) box.expandByPoint(o.position);
  const size = box.isEmpty() || box.getSize(new THREE.Vector3()).length() === 0 ? 1 : box.getSize(new THREE.Vector3()).length();
  for (const a of state.animated) for (const j of a.joints) j.scale.setScalar(size * 0.006);
  for (const o of f.objects) if (o.userData.dot) o.userData.dot.scale.setScalar(size * 0.01);
  for (const built of builtMeshes) {
    const o = buildOverlays(built, size);
    built.group.add(o.normals, o.hard);
    overlays.normals.push(o.normals);
    overlays.hard.push(o.hard);
  }
  state.files.push(f);
  showFile(f);
  await Promise.all(pending);
  return f;
}

function applyToggles() {
  const on = (id) => document.getElementById(id).checked;
  for (const o of overlays.normals) o.visible = on('normals');
  for (const o of overlays.hard) o.visible = on('hard');
  for (const o of overlays.skeleton) o.visible = on('skeleton');
  for (const o of overlays.lights) o.visible = on('lights');
  scene.traverse((o) => { if (o.isMesh && o.material && !o.userData.gizmo && o.material.isMeshStandardMaterial) o.material.wireframe = on('wireframe'); });
  render();
}
for (const id of ['wireframe', 'normals', 'hard', 'skeleton', 'lights'])
  document.getElementById(id).addEventListener('change', applyToggles);

function frameCamera(view) {
  const box = new THREE.Box3();
  // Meshes whole, lights by their position: their range spheres may be huge.
  for (const f of state.files)
    for (const o of f.objects) if (o.visible) { if (o.userData.light) box.expandByPoint(o.position); else box.expandByObject(o); }
  if (box.isEmpty()) box.set(new THREE.Vector3(-1, -1, -1), new THREE.Vector3(1, 1, 1));
  const centre = box.getCenter(new THREE.Vector3());
  const radius = Math.max(1e-3, box.getSize(new THREE.Vector3()).length() / 2);
  const dirs = { front: [0, 0, 1], side: [1, 0, 0], top: [0, 1, 0.0001], iso: [1, 0.8, 1] };
  const d = new THREE.Vector3(...(dirs[view] || dirs.iso)).normalize();
  const distance = radius / Math.sin(THREE.MathUtils.degToRad(camera.fov / 2)) * 1.05;
  camera.position.copy(centre).addScaledVector(d, distance);
  camera.near = distance / 1000;
  camera.far = distance * 100;
  camera.updateProjectionMatrix();
  controls.target.copy(centre);
  controls.update();
  sun.position.copy(centre).add(new THREE.Vector3(0.5, 1, 0.8).multiplyScalar(distance));
  sun.target.position.copy(centre);
}

async function fetchFile(url) {
  const response = await fetch(url);
  if (!response.ok) throw new Error(`${url}: ${response.status} ${response.statusText}`);
  return new Uint8Array(await response.arrayBuffer());
}

async function main() {
  resize();
  const urls = params.getAll('file');
  const out = document.getElementById('out');
  try {
    for (const u of urls) {
      const url = new URL(u, location.href);
      await addFile(decodeURIComponent(url.pathname.split('/').pop()), await fetchFile(url), url);
    }
  } catch (e) {
    document.getElementById('errors').append(el('div', { className: 'error', textContent: String(e.message || e) }));
    if (mode !== 'view') { out.textContent = JSON.stringify({ fatal: String(e.message || e) }); document.title = 'done'; return; }
  }
  applyToggles();
  showTimeline(state.files.flatMap((f) => f.skins));
  // Posed first, then framed: the picture holds the model as it stands at that frame.
  if (mode === 'png' && params.has('frame')) {
    const f = Number(params.get('frame'));
    for (const a of state.animated) a.pose(f);
    for (const g of state.gltfs) g.pose(f);
  }
  frameCamera(params.get('camera') || 'iso');
  render();
  if (mode === 'stats') {
    const f = state.files[0];
    out.textContent = JSON.stringify(f ? { records: f.stats, error: f.error } : { records: [], error: null });
  } else if (mode === 'dump') {
    out.textContent = JSON.stringify({ files: state.files.map((f) => ({ name: f.name, records: f.records, error: f.readError, check: f.error })) });
  } else if (mode === 'png') {
    // What the picture shows, for the tests: the share of pixels that differ from the background.
    out.textContent = JSON.stringify({ coverage: coverage() });
  }
  document.title = 'done';
  document.body.dataset.loaded = 'yes';
}

function coverage() {
  const gl = renderer.getContext();
  const w = gl.drawingBufferWidth, h = gl.drawingBufferHeight;
  const px = new Uint8Array(w * h * 4);
  render();
  gl.readPixels(0, 0, w, h, gl.RGBA, gl.UNSIGNED_BYTE, px);
  const bg = scene.background;
  const br = Math.round(bg.r * 255), bgG = Math.round(bg.g * 255), bb = Math.round(bg.b * 255);
  let differ = 0;
  for (let i = 0; i < px.length; i += 4)
    if (Math.abs(px[i] - br) + Math.abs(px[i + 1] - bgG) + Math.abs(px[i + 2] - bb) > 24) ++differ;
  return differ / (w * h);
}

// Files dropped on the page or opened with the button.
async function openLocal(list) {
  for (const file of list) {
    const bytes = new Uint8Array(await file.arrayBuffer());
    await addFile(file.name, bytes, location.href);
  }
  applyToggles();
  frameCamera('iso');
  showTimeline(state.files.flatMap((f) => f.skins));
  render();
}
document.getElementById('open').addEventListener('change', (e) => openLocal(e.target.files));
window.addEventListener('dragover', (e) => { e.preventDefault(); document.body.classList.add('dragging'); });
window.addEventListener('dragleave', () => document.body.classList.remove('dragging'));
window.addEventListener('drop', (e) => {
  e.preventDefault();
  document.body.classList.remove('dragging');
  openLocal(e.dataTransfer.files);
});

// Bone names on hover.
const tip = document.getElementById('tip');
const ray = new THREE.Raycaster();
renderer.domElement.addEventListener('pointermove', (e) => {
  const r = renderer.domElement.getBoundingClientRect();
  const p = new THREE.Vector2(((e.clientX - r.left) / r.width) * 2 - 1, -((e.clientY - r.top) / r.height) * 2 + 1);
  ray.setFromCamera(p, camera);
  const joints = overlays.skeleton.filter((s) => s.visible).flatMap((s) => s.children.filter((c) => c.userData.bone !== undefined));
  const hit = ray.intersectObjects(joints, false)[0];
  tip.hidden = !hit;
  if (hit) {
    tip.textContent = hit.object.userData.bone;
    tip.style.left = `${e.clientX + 12}px`;
    tip.style.top = `${e.clientY + 12}px`;
  }
});

main();
