// The viewer page's reading of files it did not write (batch report, overlay facts),
// under node's test runner: what a hostile or huge file could make of the page.
// Usage: node --test tests/view/take-data.test.mjs
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { describeFailure, framesNotShown, readOverlayFacts, readReport, safeColour, scaleStops } from
    '../../tools/view/web/takeData.js';

const scales = { turbo: ['#000000', '#ffffff'], inferno: ['#101010', '#fafafa'] };

test('colours reach styles only as #rrggbb', () => {
    assert.equal(safeColour('#a0B1c2'), '#a0B1c2');
    for (const bad of ['url(https://example.invalid/x.png)', 'red', '#fff', '#a0b1c2;background:url(x)', ' #a0b1c2',
        '#a0b1c2\n', 42, null, { toString: () => '#a0b1c2' }])
        assert.equal(safeColour(bad), null, String(bad));
    const facts = readOverlayFacts(JSON.stringify({
        seams: { cameras: [{ name: 'forward', colour: 'url(https://example.invalid/)' }, { name: 'right', colour: '#00ff00' },
            { name: { html: '<b>' }, colour: '#ff0000' }, null, 'back'] },
    }));
    assert.deepEqual(facts.seams.cameras, [{ name: 'right', colour: '#00ff00' }]);
});

test('scale names index only the scales the page carries', () => {
    assert.deepEqual(scaleStops(scales, 'turbo'), scales.turbo);
    for (const name of ['__proto__', 'constructor', 'toString', 'hasOwnProperty', 'viridis', ['turbo'], null])
        assert.equal(scaleStops(scales, name), null, String(name));
    assert.equal(scaleStops({ turbo: ['#000000', 'url(x)'] }, 'turbo'), null);
    // A depth legend with an unknown scale falls back to turbo; unusable distances drop it.
    assert.equal(readOverlayFacts('{"depth": {"scale": "__proto__", "nearMetres": 1, "farMetres": 9}}').depth.scale, 'turbo');
    for (const depth of ['{"nearMetres": 0, "farMetres": 9}', '{"nearMetres": "1", "farMetres": 9}', '{"nearMetres": 1}'])
        assert.equal(readOverlayFacts(`{"depth": ${depth}}`).depth, undefined, depth);
    assert.equal(Object.prototype.polluted, undefined);
    readOverlayFacts('{"__proto__": {"polluted": true}, "seams": {"__proto__": {"cameras": []}}}');
    readReport('{"__proto__": {"polluted": true}, "frames": [{"frame": 1, "seconds": {"__proto__": 5}}]}', 'r.json');
    assert.equal({}.polluted, undefined);
});

test('a report of any shape is read without throwing, keeping known keys only', () => {
    for (const text of ['null', '[]', '"frames"', '{"frames": "abc"}', '{"frames": {"0": {"frame": 0}}}', '{', '']) {
        const { byFrame, problem } = readReport(text, 'r.json');
        assert.equal(byFrame.size, 0, text);
        assert.match(problem, /^r\.json /, text);
    }
    const { byFrame } = readReport(JSON.stringify({ frames: [
        null, 7, { frame: -1 }, { frame: 1.5 }, { frame: '2' },
        { frame: 3, status: { toString: 1 }, error: 'x'.repeat(5000), coverage: 7, seconds: { read: 0.5, total: 2, bad: 'x', neg: -1 }, extra: 1 },
    ] }), 'r.json');
    assert.deepEqual([...byFrame.keys()], [3]);
    const entry = byFrame.get(3);
    assert.equal(entry.status, undefined);
    assert.equal(entry.coverage, undefined);
    assert.equal(entry.extra, undefined);
    assert.equal(entry.total, 2);
    assert.deepEqual(entry.stages, [['read', 0.5]]);
    assert.ok(entry.error.length <= 2001);
});

test('a report of 200,000 frames lists a bounded number of those not in the folder', () => {
    const frames = [];
    for (let i = 0; i < 200000; ++i) frames.push(`{"frame":${i},"status":"ok","output":"x","seconds":{"total":1.5}}`);
    const { byFrame, problem } = readReport(`{"frames":[${frames.join(',\n')}]}`, 'r.json');
    assert.equal(problem, null);
    assert.equal(byFrame.size, 200000);
    const shown = framesNotShown(byFrame, [{ frame: 0 }, { frame: 5 }], 200);
    assert.equal(shown.lines.length, 200);
    assert.equal(shown.more, 200000 - 2 - 200);
    assert.equal(shown.lines[0], 'frame 1: ok');
});

test('a failure to load names the file, never "[object Event]"', () => {
    assert.equal(describeFailure(new Error('cannot load a.png'), 'a.png'), 'cannot load a.png');
    for (const failure of [{ type: 'error' }, new Error('[object Event]'), undefined, 'x', new Error('')])
        assert.equal(describeFailure(failure, '0000000001.png'),
            'cannot show 0000000001.png: the browser cannot read it as a picture');
});
