// Loaded into the browser page by the viewer test: parses a .glb with
// three.js's GLTFLoader and samples the world positions of an object's
// points at given frames while its animation plays.
import * as THREE from 'three';
import { GLTFLoader } from 'three/examples/jsm/loaders/GLTFLoader.js';

window.probeGlb = async (base64, objectName, times, pointIndices) => {
  const bytes = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
  const gltf = await new GLTFLoader().parseAsync(bytes.buffer, '');
  const mixer = new THREE.AnimationMixer(gltf.scene);
  for (const clip of gltf.animations) {
    // Held at the end instead of looping, so that the last frame can be sampled.
    const action = mixer.clipAction(clip);
    action.setLoop(THREE.LoopOnce, 1);
    action.clampWhenFinished = true;
    action.play();
  }
  const root = gltf.scene.getObjectByName(objectName);
  if (!root) throw new Error(`no object named ${objectName} in the glTF scene`);
  const samples = [];
  for (const time of times) {
    mixer.setTime(time);
    gltf.scene.updateMatrixWorld(true);
    // The mesh shown at this time: the one whose world scale is not zero.
    const meshes = [];
    root.traverse((o) => {
      if (o.isMesh && new THREE.Vector3().setFromMatrixScale(o.matrixWorld).lengthSq() > 0) meshes.push(o);
    });
    if (meshes.length !== 1) throw new Error(`${meshes.length} meshes of ${objectName} are shown at time ${time}`);
    const mesh = meshes[0];
    const points = pointIndices.map((i) => {
      const p = mesh.getVertexPosition(i, new THREE.Vector3()).applyMatrix4(mesh.matrixWorld);
      return [p.x, p.y, p.z];
    });
    samples.push(points);
  }
  return {
    animations: gltf.animations.length,
    objects: gltf.scene.children.map((o) => o.name),
    samples,
  };
};
