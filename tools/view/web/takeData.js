// What the viewer page takes from files it did not write itself (the batch report, the
// overlays' facts), reduced to known keys with values of the expected kind. Anything
// else is left out: a colour that is not "#rrggbb" never reaches a style attribute, a
// key such as "__proto__" never indexes an object, and a report of any length is read
// in one pass. No DOM here, so that node can test it.

const colourPattern = /^#[0-9a-fA-F]{6}$/;
const scaleNames = ['turbo', 'inferno'];

// Longest texts kept from a report entry, and most stages shown per frame.
const maxText = 2000;
const maxStages = 32;

export function isPlainObject(value) {
    return typeof value === 'object' && value !== null && !Array.isArray(value);
}

function text(value, limit = maxText) {
    if (typeof value !== 'string') return null;
    return value.length > limit ? `${value.slice(0, limit)}…` : value;
}

function positiveNumber(value) {
    return typeof value === 'number' && Number.isFinite(value) && value > 0 ? value : null;
}

// "#rrggbb", or null.
export function safeColour(value) {
    return typeof value === 'string' && colourPattern.test(value) ? value : null;
}

// The colour stops of a named scale, from the scales the page itself carries; null for
// a name that is not one of them.
export function scaleStops(scales, name) {
    if (!scaleNames.includes(name) || !isPlainObject(scales) || !Object.hasOwn(scales, name)) return null;
    const stops = scales[name];
    if (!Array.isArray(stops) || stops.length < 2 || !stops.every(s => safeColour(s) !== null)) return null;
    return stops;
}

// One report entry as the page shows it, or null when it names no frame.
function reportEntry(entry) {
    if (!isPlainObject(entry) || !Number.isSafeInteger(entry.frame) || entry.frame < 0) return null;
    const kept = { frame: entry.frame };
    for (const key of ['status', 'mode', 'error']) {
        const value = text(entry[key]);
        if (value !== null) kept[key] = value;
    }
    if (typeof entry.coverage === 'number' && entry.coverage >= 0 && entry.coverage <= 1) kept.coverage = entry.coverage;
    if (isPlainObject(entry.seconds)) {
        const stages = [];
        for (const [name, seconds] of Object.entries(entry.seconds)) {
            if (typeof seconds !== 'number' || !Number.isFinite(seconds) || seconds < 0) continue;
            if (name === 'total') kept.total = seconds;
            else if (stages.length < maxStages) stages.push([text(name, 40), seconds]);
        }
        kept.stages = stages;
    }
    return kept;
}

// The report's entries by frame number (a Map), and what kept it from being read.
export function readReport(reportText, reportFile) {
    const byFrame = new Map();
    if (typeof reportText !== 'string') return { byFrame, problem: null };
    let report;
    try {
        report = JSON.parse(reportText);
    } catch (e) {
        return { byFrame, problem: `${reportFile} could not be read: ${e.message}` };
    }
    if (!isPlainObject(report) || !Array.isArray(report.frames))
        return { byFrame, problem: `${reportFile} is not a batch report (it has no list of frames)` };
    for (const raw of report.frames) {
        const entry = reportEntry(raw);
        if (entry !== null) byFrame.set(entry.frame, entry);
    }
    return { byFrame, problem: null };
}

// The facts of a frame's overlays: camera names and colours, the depth legend and the
// disagreement's full scale, each only when well-formed.
export function readOverlayFacts(factsText) {
    const facts = {};
    if (typeof factsText !== 'string') return facts;
    let raw;
    try {
        raw = JSON.parse(factsText);
    } catch {
        return facts;
    }
    if (!isPlainObject(raw)) return facts;
    if (isPlainObject(raw.seams) && Array.isArray(raw.seams.cameras)) {
        const cameras = [];
        for (const c of raw.seams.cameras.slice(0, 8)) {
            if (!isPlainObject(c)) continue;
            const colour = safeColour(c.colour);
            const name = text(c.name, 40);
            if (colour !== null && name !== null) cameras.push({ name, colour });
        }
        facts.seams = { cameras };
    }
    if (isPlainObject(raw.depth)) {
        const near = positiveNumber(raw.depth.nearMetres), far = positiveNumber(raw.depth.farMetres);
        const scale = scaleNames.includes(raw.depth.scale) ? raw.depth.scale : 'turbo';
        if (near !== null && far !== null) facts.depth = { scale, nearMetres: near, farMetres: far };
    }
    if (isPlainObject(raw.disagreement)) {
        const full = positiveNumber(raw.disagreement.fullScale);
        if (full !== null) facts.disagreement = { fullScale: full };
    }
    return facts;
}

// Lines for the report's frames that are not in the take, at most `limit` of them, and
// how many more there are.
export function framesNotShown(byFrame, frames, limit) {
    const inTake = new Set(frames.map(f => f.frame));
    const lines = [];
    let more = 0;
    for (const entry of byFrame.values()) {
        if (inTake.has(entry.frame)) continue;
        if (lines.length < limit) {
            lines.push(`frame ${entry.frame}: ${entry.status ?? 'no status'}${entry.error ? ` (${entry.error})` : ''}`);
        } else {
            more += 1;
        }
    }
    return { lines, more };
}

// A message for what failed to load: an Error's own words, else (an event, a value)
// what could not be shown.
export function describeFailure(failure, file) {
    if (failure instanceof Error && typeof failure.message === 'string' && failure.message !== '' &&
        !failure.message.startsWith('[object ')) {
        return failure.message;
    }
    return `cannot show ${file}: the browser cannot read it as a picture`;
}
