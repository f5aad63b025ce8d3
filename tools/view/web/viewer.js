// The quadstitch take viewer: one 360 view of the current frame, a frame slider,
// the frame's facts, and overlays composited over the panorama.
//
// window.quadstitchViewer tells scripts (and the browser tests) what is on screen:
// `ready` once the viewer has drawn its first panorama, `shown` counts panoramas
// drawn, `busy` is true while a frame or overlay is being loaded.
import { Viewer } from '@photo-sphere-viewer/core';
import { describeFailure, framesNotShown, readOverlayFacts, readReport, scaleStops } from './takeData.js';

const state = { ready: false, busy: true, shown: 0, frame: 0, overlay: 'none', opacity: 0.6, error: null };
window.quadstitchViewer = state;

const take = JSON.parse(document.getElementById('quadstitch-take').textContent);
const frames = take.frames;
const overlayKinds = ['seams', 'depth', 'disagreement'];
const overlayLabels = { none: 'None', seams: 'Seams', depth: 'Depth', disagreement: 'Disagreement' };

// ---- Facts: the batch report where it has the frame, else what the file tells ----

// Only known keys with values of the expected kind are taken from the files.
const { byFrame: reportByFrame, problem: reportProblem } = readReport(take.report, take.reportFile);
for (const f of frames) f.overlayInfo = readOverlayFacts(f.overlayFacts);

function factsOf(f) {
    const entry = reportByFrame.get(f.frame);
    const facts = [];
    facts.push(['File', f.file]);
    if (f.width) facts.push(['Size', `${f.width} × ${f.height}`]);
    let mode = entry && entry.mode;
    if (!mode && f.channels) mode = f.channels === 4 ? 'full' : 'fast';
    if (mode) facts.push(['Stitch', mode === 'full' ? 'full (depth-aligned, blended)' : mode === 'fast' ? 'fast (hard seams)' : String(mode)]);
    if (entry && entry.status) facts.push(['Status', entry.status]);
    if (entry && typeof entry.total === 'number') {
        facts.push(['Time', `${entry.total.toFixed(1)} s`]);
        const stages = entry.stages || [];
        if (stages.length) facts.push(['Stages', stages.map(([k, v]) => `${k} ${v.toFixed(v < 1 ? 2 : 1)}`).join(' · ')]);
    }
    if (entry && typeof entry.coverage === 'number') facts.push(['Coverage', `${(entry.coverage * 100).toFixed(1)} %`]);
    if (entry && entry.error) facts.push(['Error', entry.error]);
    if (!entry) facts.push(['Report', take.report === null ? 'none in this folder' : 'no entry for this frame']);
    return facts;
}

// ---- Panel ----

function element(tag, attributes = {}, ...children) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(attributes)) {
        if (k === 'text') e.textContent = v;
        else e.setAttribute(k, v);
    }
    for (const c of children) e.append(c);
    return e;
}

const panel = document.getElementById('panel');
const frameLabel = element('span', { id: 'frame-label' });
const slider = element('input', { id: 'frame-slider', type: 'range', min: '0', max: String(frames.length - 1), value: '0', step: '1', 'aria-label': 'Frame' });
const previous = element('button', { id: 'previous', type: 'button', title: 'Previous frame (←)', text: '←' });
const next = element('button', { id: 'next', type: 'button', title: 'Next frame (→)', text: '→' });
const factsList = element('dl', { id: 'facts' });
const overlayChoices = element('div', { id: 'overlay-choices', role: 'radiogroup' });
const opacity = element('input', { id: 'overlay-opacity', type: 'range', min: '0', max: '100', value: String(state.opacity * 100), 'aria-label': 'Overlay opacity' });
const legend = element('div', { id: 'legend' });
const message = element('p', { id: 'message' });

for (const kind of ['none', ...overlayKinds]) {
    const input = element('input', { type: 'radio', name: 'overlay', value: kind, id: `overlay-${kind}` });
    if (kind === 'none') input.checked = true;
    overlayChoices.append(element('label', { for: `overlay-${kind}` }, input, overlayLabels[kind]));
}

panel.replaceChildren(
    element('h1', { text: take.title }),
    element('section', {},
        element('div', { class: 'frame-row' }, previous, frameLabel, next),
        slider),
    factsList,
    element('section', {},
        element('h2', { text: 'Overlay' }),
        overlayChoices,
        element('label', { class: 'opacity' }, 'Opacity ', opacity),
        legend),
    message);

// A report may hold far more frames than the folder: a bounded list, appended one by
// one (spreading a long list into one call overflows the call's arguments).
const notShown = framesNotShown(reportByFrame, frames, 200);
if (notShown.lines.length || reportProblem) {
    const section = element('section', { id: 'not-in-take' }, element('h2', { text: 'Not shown' }));
    if (reportProblem) section.append(element('p', { text: reportProblem }));
    for (const line of notShown.lines) section.append(element('p', { text: line }));
    if (notShown.more) section.append(element('p', { text: `and ${notShown.more} more frames of the report` }));
    panel.append(section);
}

function metres(m) {
    return m >= 100 ? `${Math.round(m)} m` : m >= 10 ? `${m.toFixed(1)} m` : `${m.toFixed(2)} m`;
}

function gradient(stops, reversed) {
    const s = reversed ? [...stops].reverse() : stops;
    return `linear-gradient(to right, ${s.join(', ')})`;
}

function drawLegend(f) {
    legend.replaceChildren();
    const info = f.overlayInfo;
    if (state.overlay === 'seams') {
        // Names and "#rrggbb" colours only (checked when read).
        const cameras = (info.seams && info.seams.cameras) || [];
        for (const c of cameras) {
            legend.append(element('div', { class: 'swatch-row' },
                element('span', { class: 'swatch', style: `background:${c.colour}` }), c.name));
        }
        legend.append(element('div', { class: 'swatch-row' },
            element('span', { class: 'swatch', style: 'background:#fff' }), 'seam'));
    } else if (state.overlay === 'depth' && info.depth) {
        // The scale is linear in inverse depth, near at its top end.
        const near = info.depth.nearMetres, far = info.depth.farMetres;
        const stops = scaleStops(take.scales, info.depth.scale) || scaleStops(take.scales, 'turbo');
        const bar = element('div', { class: 'scale', style: stops ? `background:${gradient(stops, true)}` : '' });
        const ticks = element('div', { class: 'ticks' });
        for (let i = 0; i <= 2; ++i) {
            const t = i / 2;
            const m = 1 / ((1 - t) / near + t / far);
            ticks.append(element('span', { style: `left:${t * 100}%`, text: metres(m) }));
        }
        legend.append(element('div', { text: 'Distance from the rig' }), bar, ticks,
            element('div', { class: 'swatch-row' }, element('span', { class: 'swatch hatch' }), 'no depth estimate'));
    } else if (state.overlay === 'disagreement' && info.disagreement) {
        const full = info.disagreement.fullScale;
        const stops = scaleStops(take.scales, 'inferno');
        const bar = element('div', { class: 'scale', style: stops ? `background:${gradient(stops, false)}` : '' });
        const ticks = element('div', { class: 'ticks' },
            element('span', { style: 'left:0%', text: '0' }),
            element('span', { style: 'left:100%', text: `≥ ${full}` }));
        legend.append(element('div', { text: 'Colour difference of neighbouring cameras before blending (grey levels)' }), bar, ticks);
    }
}

function updatePanel() {
    const f = frames[state.frame];
    frameLabel.textContent = `Frame ${f.frame}  (${state.frame + 1} of ${frames.length})`;
    slider.value = String(state.frame);
    previous.disabled = state.frame === 0;
    next.disabled = state.frame === frames.length - 1;
    factsList.replaceChildren(...factsOf(f).flatMap(([k, v]) => [element('dt', { text: k }), element('dd', { text: v })]));
    for (const kind of overlayKinds) document.getElementById(`overlay-${kind}`).disabled = !f.overlays[kind];
    opacity.disabled = state.overlay === 'none';
    drawLegend(f);
    message.textContent = state.overlay !== 'none' && !f.overlays[state.overlay]
        ? `This frame has no ${state.overlay} overlay.` : '';
}

// ---- Pictures: the panorama, or the panorama with an overlay composited on top ----

function loadImage(url) {
    return new Promise((resolve, reject) => {
        const image = new Image();
        image.onload = () => resolve(image);
        image.onerror = () => reject(new Error(`cannot load ${url}`));
        image.src = url;
    });
}

// Composites at most this wide: overlays are reduced pictures anyway, and the
// canvas has to be encoded before the viewer can take it.
const maxCompositeWidth = 4096;
const composites = new Map();

async function compositeUrl(f, kind) {
    const key = `${f.frame}/${kind}/${state.opacity}`;
    if (composites.has(key)) return composites.get(key);
    const [panorama, overlay] = await Promise.all([loadImage(f.url), loadImage(f.overlays[kind])]);
    const width = Math.min(panorama.naturalWidth, maxCompositeWidth);
    const height = Math.round(width * panorama.naturalHeight / panorama.naturalWidth);
    const canvas = document.createElement('canvas');
    canvas.width = width;
    canvas.height = height;
    const context = canvas.getContext('2d');
    context.drawImage(panorama, 0, 0, width, height);
    context.globalAlpha = state.opacity;
    // Seams are labels: keep their edges hard.
    context.imageSmoothingEnabled = kind !== 'seams';
    context.drawImage(overlay, 0, 0, width, height);
    const blob = await new Promise(resolve => canvas.toBlob(resolve, 'image/jpeg', 0.92));
    if (!blob) throw new Error('cannot encode the composited picture');
    const url = URL.createObjectURL(blob);
    composites.set(key, url);
    // A handful of composites is plenty for stepping back and forth.
    while (composites.size > 8) {
        const [oldest, oldUrl] = composites.entries().next().value;
        URL.revokeObjectURL(oldUrl);
        composites.delete(oldest);
    }
    return url;
}

function pictureUrl() {
    const f = frames[state.frame];
    if (state.overlay === 'none' || !f.overlays[state.overlay]) return Promise.resolve(f.url);
    return compositeUrl(f, state.overlay);
}

function nextDrawnFrame() {
    return new Promise(resolve => requestAnimationFrame(() => requestAnimationFrame(resolve)));
}

let viewer = null;
let request = 0;

// Shows what the state asks for; a newer request supersedes an older one.
async function show() {
    const mine = ++request;
    state.busy = true;
    updatePanel();
    try {
        const url = await pictureUrl();
        if (mine !== request) return;
        if (!viewer) {
            viewer = new Viewer({
                container: document.getElementById('viewer'),
                panorama: url,
                navbar: ['zoom', 'move', 'caption', 'fullscreen'],
                caption: captionOf(),
                loadingTxt: 'Loading…',
                // Arrow keys step through the frames, also in full screen.
                keyboard: false,
            });
            await new Promise((resolve, reject) => {
                viewer.addEventListener('ready', resolve, { once: true });
                viewer.addEventListener('panorama-error', e => reject(e.error || new Error('cannot load the panorama')), { once: true });
            });
        } else {
            const done = await viewer.setPanorama(url, { transition: false, showLoader: false, caption: captionOf() });
            if (!done) return; // superseded inside the viewer
        }
        await nextDrawnFrame();
        // The viewer fades its loader and navigation bar in and out: what is on
        // screen is final only when those have finished.
        await Promise.all(document.getAnimations().map(a => a.finished.catch(() => null)));
        if (mine !== request) return;
        state.shown += 1;
        state.ready = true;
        state.error = null;
        state.busy = false;
        document.body.dataset.ready = 'true';
    } catch (e) {
        if (mine !== request) return;
        state.error = describeFailure(e, frames[state.frame].file);
        state.busy = false;
        message.textContent = state.error;
    }
}

function captionOf() {
    const f = frames[state.frame];
    return `Frame ${f.frame}`;
}

function goTo(index) {
    const clamped = Math.max(0, Math.min(frames.length - 1, index));
    if (clamped === state.frame && viewer) return;
    state.frame = clamped;
    show();
}

slider.addEventListener('input', () => goTo(Number(slider.value)));
previous.addEventListener('click', () => goTo(state.frame - 1));
next.addEventListener('click', () => goTo(state.frame + 1));
overlayChoices.addEventListener('change', e => {
    state.overlay = e.target.value;
    show();
});
opacity.addEventListener('change', () => {
    state.opacity = Number(opacity.value) / 100;
    if (state.overlay !== 'none') show();
});
document.addEventListener('keydown', e => {
    // The sliders use the arrow keys themselves; anywhere else (the overlay choices
    // included) they step through the frames.
    if (e.target instanceof HTMLInputElement && e.target.type === 'range') return;
    if (e.altKey || e.ctrlKey || e.metaKey) return;
    const steps = { ArrowLeft: -1, ArrowRight: 1, PageUp: -10, PageDown: 10 };
    if (e.key in steps) {
        goTo(state.frame + steps[e.key]);
        e.preventDefault();
    } else if (e.key === 'Home' || e.key === 'End') {
        goTo(e.key === 'Home' ? 0 : frames.length - 1);
        e.preventDefault();
    }
});

show();
