// Reader of the viewer data file written by `drapeon run` (viewer-data.bin).
// See app/exportViewer.cpp for the layout.

const MAGIC = 'DRAPEONV';

/** Decodes base64 text into bytes. */
export function bytesFromBase64(text) {
  const binary = atob(text.replace(/\s+/g, ''));
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  return bytes;
}

/**
 * Parses the data file. Returns { header, meshes, guides } where every mesh
 * has typed-array views into the file (no copies) and guides has one list
 * of records per frame. Throws an Error with a readable message when the
 * bytes are not viewer data.
 */
export function parseViewerData(bytes) {
  if (bytes.length < 16) throw new Error('the viewer data is truncated');
  const magic = String.fromCharCode(...bytes.subarray(0, 8));
  if (magic !== MAGIC) throw new Error('this is not drapeon viewer data');
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const version = view.getUint32(8, true);
  if (version !== 1) throw new Error(`viewer data version ${version} is not supported; run the scene again`);
  const headerLength = view.getUint32(12, true);
  if (16 + headerLength > bytes.length) throw new Error('the viewer data is truncated');
  const header = JSON.parse(new TextDecoder().decode(bytes.subarray(16, 16 + headerLength)));

  // The binary section: copy it once when it is not 4-byte aligned in memory.
  let start = bytes.byteOffset + 16 + headerLength;
  let buffer = bytes.buffer;
  const length = bytes.length - 16 - headerLength;
  if (start % 4 !== 0) {
    buffer = bytes.slice(16 + headerLength).buffer;
    start = 0;
  }
  const floats = (offset, count) => {
    if (offset + count * 4 > length) throw new Error('the viewer data is truncated');
    return new Float32Array(buffer, start + offset, count);
  };
  const uints = (offset, count) => {
    if (offset + count * 4 > length) throw new Error('the viewer data is truncated');
    return new Uint32Array(buffer, start + offset, count);
  };

  const meshes = header.meshes.map((m) => ({
    name: m.name,
    path: m.path,
    simulated: m.simulated,
    pointCount: m.pointCount,
    storedFrames: m.storedFrames,
    indices: uints(m.indices, m.triangleCount * 3),
    positions: floats(m.positions, m.storedFrames * m.pointCount * 3),
  }));

  const records = floats(header.guides, header.guideCount * 11);
  const frameStarts = uints(header.guideFrames, header.frameCount + 1);
  const guides = [];
  for (let f = 0; f < header.frameCount; f++) {
    const list = [];
    for (let r = frameStarts[f]; r < frameStarts[f + 1]; r++) {
      const o = r * 11;
      list.push({
        group: records[o],
        kind: records[o + 1] === 1 ? 'handle' : 'line',
        a: [records[o + 2], records[o + 3], records[o + 4]],
        b: [records[o + 5], records[o + 6], records[o + 7]],
        color: [records[o + 8], records[o + 9], records[o + 10]],
      });
    }
    guides.push(list);
  }
  return { header, meshes, guides };
}

/** The positions of a mesh at frame index f (0-based), as a Float32Array view. */
export function framePositions(mesh, f) {
  const stored = Math.min(f, mesh.storedFrames - 1);
  const size = mesh.pointCount * 3;
  return mesh.positions.subarray(stored * size, stored * size + size);
}
