// The drapeon player: plays the frames of a run with an orbit camera, a
// frame slider, play/pause, and the guides the objects drew, switchable per
// object. The data is inlined in the page (a script element of id
// "drapeon-data" holding base64), so the page works from disk, offline.
import * as THREE from 'three';
import { OrbitControls } from 'three/examples/jsm/controls/OrbitControls.js';
import { bytesFromBase64, framePositions, parseViewerData } from './data.js';

const STYLE = `
html, body { margin: 0; height: 100%; overflow: hidden; background: #1d1f23; color: #e4e6ea;
  font: 13px/1.4 system-ui, sans-serif; }
#view { position: absolute; inset: 0 0 48px 0; }
#bar { position: absolute; left: 0; right: 0; bottom: 0; height: 48px; display: flex; align-items: center;
  gap: 12px; padding: 0 12px; background: #2a2d33; box-sizing: border-box; }
#bar button { width: 72px; height: 30px; background: #3b4048; color: inherit; border: 1px solid #555b64;
  border-radius: 4px; font: inherit; cursor: pointer; }
#slider { flex: 1; }
#counter { min-width: 150px; text-align: right; font-variant-numeric: tabular-nums; }
#panel { position: absolute; top: 8px; left: 8px; padding: 8px 10px; background: rgba(42,45,51,0.88);
  border-radius: 4px; max-height: 60%; overflow: auto; }
#panel h1 { font-size: 14px; margin: 0 0 6px 0; }
#panel label { display: block; white-space: nowrap; }
#message { position: absolute; top: 40%; width: 100%; text-align: center; font-size: 16px; }
`;

function element(tag, attributes = {}, parent = document.body) {
  const e = document.createElement(tag);
  Object.assign(e, attributes);
  parent.appendChild(e);
  return e;
}

function showError(text) {
  element('div', { id: 'message', textContent: `The results cannot be shown: ${text}` });
  window.drapeonViewer = { ready: false, error: text };
}

function start() {
  element('style', { textContent: STYLE }, document.head);
  const source = document.getElementById('drapeon-data');
  let data;
  try {
    if (!source) throw new Error('the page holds no data; write it with "drapeon view OUT_DIR"');
    data = parseViewerData(bytesFromBase64(source.textContent));
  } catch (e) {
    showError(e.message);
    return;
  }
  const { header, meshes, guides } = data;
  const frameCount = Math.max(header.frameCount, 1);

  // Renderer, scene, camera and lights.
  const container = element('div', { id: 'view' });
  const renderer = new THREE.WebGLRenderer({ antialias: true, preserveDrawingBuffer: true });
  renderer.setPixelRatio(window.devicePixelRatio);
  container.appendChild(renderer.domElement);
  const scene = new THREE.Scene();
  scene.background = new THREE.Color(0x1d1f23);
  const camera = new THREE.PerspectiveCamera(40, 1, 0.1, 1000);
  const controls = new OrbitControls(camera, renderer.domElement);
  scene.add(new THREE.HemisphereLight(0xf0f2ff, 0x3a3328, 1.4));
  const sun = new THREE.DirectionalLight(0xffffff, 1.6);
  scene.add(sun);
  scene.add(sun.target);

  // Meshes: the cloth lit on both sides, the other objects in grey.
  const clothMaterial = new THREE.MeshStandardMaterial({ color: 0xd05c3c, roughness: 0.85, side: THREE.DoubleSide });
  const sceneMaterial = new THREE.MeshStandardMaterial({
    color: 0x9ea3ad, roughness: 0.7, side: THREE.DoubleSide, polygonOffset: true, polygonOffsetFactor: 1,
    polygonOffsetUnits: 1,
  });
  const shown = meshes.map((m) => {
    const geometry = new THREE.BufferGeometry();
    const position = new THREE.BufferAttribute(new Float32Array(m.pointCount * 3), 3);
    position.setUsage(THREE.DynamicDrawUsage);
    geometry.setAttribute('position', position);
    geometry.setIndex(new THREE.BufferAttribute(m.indices, 1));
    const object = new THREE.Mesh(geometry, m.simulated ? clothMaterial : sceneMaterial);
    object.name = m.path;
    object.frustumCulled = false;
    scene.add(object);
    return { data: m, object, position, frame: -1 };
  });

  // Guides: one line set and one point set per drawing object.
  const groups = header.guideGroups.map((g) => {
    const lines = new THREE.LineSegments(new THREE.BufferGeometry(),
      new THREE.LineBasicMaterial({ vertexColors: true, depthTest: false, transparent: true }));
    const handles = new THREE.Points(new THREE.BufferGeometry(),
      new THREE.PointsMaterial({ vertexColors: true, size: 7, sizeAttenuation: false, depthTest: false }));
    lines.renderOrder = handles.renderOrder = 10;
    lines.frustumCulled = handles.frustumCulled = false;
    scene.add(lines, handles);
    return { ...g, lines, handles, visible: true };
  });

  // Frame the camera on everything over all frames: the meshes and the
  // guides, which may reach beyond them (a nail's handles above the cloth).
  const low = [Infinity, Infinity, Infinity], high = [-Infinity, -Infinity, -Infinity];
  const include = (x, y, z) => {
    if (!Number.isFinite(x) || !Number.isFinite(y) || !Number.isFinite(z)) return;
    [x, y, z].forEach((v, k) => {
      if (v < low[k]) low[k] = v;
      if (v > high[k]) high[k] = v;
    });
  };
  for (const m of meshes) {
    const p = m.positions;
    for (let i = 0; i + 2 < p.length; i += 3) include(p[i], p[i + 1], p[i + 2]);
  }
  for (const list of guides) {
    for (const r of list) {
      include(...r.a);
      if (r.kind !== 'handle') include(...r.b);
    }
  }
  const bounds = new THREE.Box3(new THREE.Vector3(...low), new THREE.Vector3(...high));
  if (bounds.isEmpty()) bounds.set(new THREE.Vector3(-1, -1, -1), new THREE.Vector3(1, 1, 1));
  const centre = bounds.getCenter(new THREE.Vector3());
  const radius = Math.max(bounds.getSize(new THREE.Vector3()).length() / 2, 1e-3);
  camera.near = radius / 100;
  camera.far = radius * 100;
  camera.position.copy(centre).add(new THREE.Vector3(0.9, 0.6, 1.4).normalize().multiplyScalar(radius * 3));
  camera.updateProjectionMatrix();
  controls.target.copy(centre);
  controls.update();
  sun.position.copy(centre).add(new THREE.Vector3(1, 2, 1.5).multiplyScalar(radius));
  sun.target.position.copy(centre);

  // Controls: panel with the scene name and guide switches, bottom bar.
  const panel = element('div', { id: 'panel' });
  element('h1', { textContent: header.scene || 'drapeon' }, panel);
  if (groups.length > 0) {
    const all = element('label', {}, panel);
    const allBox = element('input', { type: 'checkbox', checked: true, id: 'guides-all' }, all);
    all.append(' guides');
    const boxes = groups.map((g, i) => {
      const label = element('label', { title: g.type }, panel);
      label.style.paddingLeft = '16px';
      const box = element('input', { type: 'checkbox', checked: true, id: `guides-${i}` }, label);
      label.append(` ${g.object}`);
      box.addEventListener('change', () => { g.visible = box.checked; update(); });
      return box;
    });
    allBox.addEventListener('change', () => {
      groups.forEach((g, i) => { g.visible = allBox.checked; boxes[i].checked = allBox.checked; });
      update();
    });
  }
  const bar = element('div', { id: 'bar' });
  const play = element('button', { id: 'play', textContent: 'Play' }, bar);
  const slider = element('input', { id: 'slider', type: 'range', min: 0, max: frameCount - 1, step: 1, value: 0 }, bar);
  const counter = element('span', { id: 'counter' }, bar);

  let frame = 0;
  let playing = false;
  let last = 0;
  let carried = 0;

  function setGuides(f) {
    const list = guides[f] || [];
    groups.forEach((g, index) => {
      const linePoints = [], lineColors = [], handlePoints = [], handleColors = [];
      if (g.visible) {
        for (const r of list) {
          if (r.group !== index) continue;
          if (r.kind === 'handle') { handlePoints.push(...r.a); handleColors.push(...r.color); }
          else { linePoints.push(...r.a, ...r.b); lineColors.push(...r.color, ...r.color); }
        }
      }
      for (const [object, points, colors] of [[g.lines, linePoints, lineColors], [g.handles, handlePoints, handleColors]]) {
        object.geometry.dispose();
        object.geometry = new THREE.BufferGeometry();
        object.geometry.setAttribute('position', new THREE.Float32BufferAttribute(points, 3));
        object.geometry.setAttribute('color', new THREE.Float32BufferAttribute(colors, 3));
        object.visible = points.length > 0;
      }
    });
  }

  function update() {
    for (const s of shown) {
      const stored = Math.min(frame, s.data.storedFrames - 1);
      if (stored !== s.frame) {
        s.position.array.set(framePositions(s.data, frame));
        s.position.needsUpdate = true;
        s.object.geometry.computeVertexNormals();
        s.frame = stored;
      }
    }
    setGuides(frame);
    slider.value = String(frame);
    counter.textContent = `Frame ${header.firstFrame + frame}  (${frame + 1} / ${frameCount})`;
    play.textContent = playing ? 'Pause' : 'Play';
    render();
  }

  function render() {
    const width = container.clientWidth, height = container.clientHeight;
    const size = renderer.getSize(new THREE.Vector2());
    if (size.x !== width || size.y !== height) {
      renderer.setSize(width, height, false);
      renderer.domElement.style.width = '100%';
      renderer.domElement.style.height = '100%';
      camera.aspect = width / Math.max(height, 1);
      camera.updateProjectionMatrix();
    }
    renderer.render(scene, camera);
  }

  function setFrame(f) {
    frame = Math.min(Math.max(Math.round(f), 0), frameCount - 1);
    update();
  }

  function tick(time) {
    if (playing) {
      carried += (time - last) / 1000 * (header.fps || 30);
      const steps = Math.floor(carried);
      if (steps > 0) {
        carried -= steps;
        frame = (frame + steps) % frameCount;
        update();
      }
    }
    last = time;
    requestAnimationFrame(tick);
  }

  play.addEventListener('click', () => { playing = !playing; carried = 0; update(); });
  slider.addEventListener('input', () => { playing = false; setFrame(Number(slider.value)); });
  controls.addEventListener('change', render);
  window.addEventListener('resize', render);
  window.addEventListener('keydown', (e) => {
    if (e.key === ' ') { playing = !playing; update(); e.preventDefault(); }
    else if (e.key === 'ArrowRight') { playing = false; setFrame(frame + 1); }
    else if (e.key === 'ArrowLeft') { playing = false; setFrame(frame - 1); }
  });

  update();
  requestAnimationFrame(tick);

  // For scripts driving the page (the browser test, screenshots).
  window.drapeonViewer = {
    ready: true,
    header,
    frameCount,
    setFrame,
    frame: () => frame,
    meshNames: () => meshes.map((m) => m.name),
    positions: (meshIndex, f) => Array.from(framePositions(meshes[meshIndex], f)),
    guideCount: (f) => (guides[f] || []).length,
    setGuidesVisible: (visible) => { groups.forEach((g) => { g.visible = visible; }); update(); },
    // How many guide points of frame f lie outside the camera's view.
    guidesOutOfView: (f) => (guides[f] || [])
      .flatMap((r) => (r.kind === 'handle' ? [r.a] : [r.a, r.b]))
      .filter((p) => {
        const v = new THREE.Vector3(...p).project(camera);
        return !(Math.abs(v.x) <= 1 && Math.abs(v.y) <= 1 && Math.abs(v.z) <= 1);
      }).length,
  };
}

start();
