// The rules the control widgets and the day-part editor follow in the browser
// (ui/widgets.js, ui/dayparts.js), checked in node against the values the
// program's own C++ rules give (params/widgets.h, params/page_tree.h,
// params/daypart.h). No browser and no server needed.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import * as w from '../../ui/widgets.js';
import * as dp from '../../ui/dayparts.js';

test('step decimals and the slider read-out', () => {
  const decimals = [[0.5, 1], [0.1, 1], [0.01, 2], [0.001, 3], [0.25, 2], [0.125, 3], [0.05, 2], [1, 0], [2, 0], [10, 0], [0, 0], [-1, 0]];
  for (const [step, d] of decimals) assert.equal(w.stepDecimals(step), d, `step ${step}`);
  const texts = [
    [-40, 1, '-40'], [12.5, 0.5, '12.5'], [-0.05, 0.1, '-0.1'], [-0.049, 0.1, '0.0'], [0.05, 0.1, '0.1'],
    [3.3333, 0.01, '3.33'], [1234.5678, 0.001, '1234.568'], [0.04, 1, '0'], [-12.35, 0.5, '-12.4'], [7.77, 0.25, '7.77'],
    [99.95, 0.1, '99.9'], [99.96, 0.1, '100.0'], [2.5, 1, '3'], [-2.5, 1, '-3'],
  ];
  for (const [v, step, text] of texts) assert.equal(w.sliderText(v, step), text, `${v} with step ${step}`);
});

test('snapping: whole steps, half away from zero, clamped either way round', () => {
  assert.equal(w.snapToStep(0.25, 0.5, -10, 10), 0.5);
  assert.equal(w.snapToStep(-0.25, 0.5, -10, 10), -0.5);
  assert.equal(w.snapToStep(0.74, 0.5, -10, 10), 0.5);
  assert.equal(w.snapToStep(12.3, 1, -60, -20), -20);
  assert.equal(w.snapToStep(-75, 1, -60, -20), -60);
  assert.equal(w.snapToStep(25, 1, 20, 0), 20, 'a reversed range clamps too');
  assert.equal(w.snapToStep(3.3, 0, 0, 10), Math.fround(3.3), 'no step: only clamped');
  assert.equal(w.snapToStep(Number.NaN, 1, 5, 15), 5);
  // 32-bit floats as the program stores them: 0.05 at step 0.01 is the float the program gets.
  assert.equal(w.snapToStep(0.05, 0.01, -1, 1), Math.fround(Math.round(Math.fround(0.05) / Math.fround(0.01)) * Math.fround(0.01)));
});

test('scale marks: 1, 2, 5, 10 or 20 steps apart, about 20 marks at most', () => {
  const cases = [[-60, -20, 1, 2], [0, 20, 0.5, 2], [5, 15, 0.5, 1], [0, 10000, 1, 20], [-12, 12, 0.1, 20], [0, 1, 0.01, 5], [0, 100, 1, 5], [0, 3, 1, 1], [0, 10, 0, 1]];
  for (const [min, max, step, spacing] of cases) assert.equal(w.markSpacingSteps(min, max, step), spacing, `${min}..${max} step ${step}`);
});

test('frequency control: ranges, shown values, remembered values', () => {
  assert.deepEqual(w.FREQUENCY_RANGES.map((r) => r.label), ['10-50', '50-200', '200-1k', '1k-5k', '5k-20k', '20k-100k']);
  const shown = [[0, 0, 10], [5, 0, 10], [49.9, 0, Math.fround(49.9)], [50, 1, 50], [999, 2, 999], [1000, 3, 1000], [19999, 4, 19999], [20000, 5, 20000], [30000, 5, 24000]];
  for (const [v, range, value] of shown) {
    const f = new w.FrequencyControl();
    f.show(v);
    assert.equal(f.range, range, `${v} Hz selects range ${range}`);
    assert.equal(Math.fround(f.value), value, `${v} Hz shows ${value}`);
  }
  const f = new w.FrequencyControl();
  f.show(150);
  assert.equal(f.selectRange(3), 2000, 'an untouched range applies its initial value');
  assert.equal(f.moveSlider(2345), 2300, 'the 1k-5k slider moves in steps of 100');
  assert.equal(f.selectRange(1), 150, 'the range shown earlier kept its value');
  assert.equal(f.selectRange(3), 2300, 'and 1k-5k kept the value set on it');
  assert.equal(f.moveSlider(10), 1000, 'the slider stays in its range');
});

test('delay control: four sliders, their sum and the caption', () => {
  assert.deepEqual(w.decomposeDelayMs(1234), { seconds: 1, tenths_s: 0.2, tens_ms: 30, ms: 4 });
  assert.deepEqual(w.decomposeDelayMs(0.4), { seconds: 0, tenths_s: 0, tens_ms: 0, ms: 0 });
  assert.deepEqual(w.decomposeDelayMs(25000), { seconds: 10, tenths_s: 1, tens_ms: 100, ms: 10 });
  assert.equal(w.composeDelayMs({ seconds: 1, tenths_s: 0.9, tens_ms: 30, ms: 4 }), 1934);
  assert.equal(w.composeDelayMs({ seconds: 2.4, tenths_s: 0.36, tens_ms: 44, ms: 12 }), 2450, 'each slider snapped to its step and range');
  for (const ms of [0, 1, 999, 1000, 1999, 9999, 11110]) assert.equal(w.composeDelayMs(w.decomposeDelayMs(ms)), ms);
  assert.equal(w.delayCaption(1234), 'MPX Delay 1.234 s');
  assert.equal(w.delayCaption(5), 'MPX Delay 0.005 s');
  assert.equal(w.delayCaption(-3), 'MPX Delay 0.000 s');
  assert.equal(w.delayCaption(10000), 'MPX Delay 10.000 s');
});

test('group windows: rows, wrapping, windows too wide or too low', () => {
  const widths = [87, 172, 342, 427, 87, 427, 342, 1200];
  assert.deepEqual(w.layoutGroupWindows(widths, 800, 600).map((p) => p && [p.x, p.y]),
    [[0, 0], [87, 0], [259, 0], [0, 204], [427, 204], null, null, null], 'a third row would end below 600 px');
  assert.deepEqual(w.layoutGroupWindows(widths, 800, 1000).map((p) => p && [p.x, p.y]),
    [[0, 0], [87, 0], [259, 0], [0, 204], [427, 204], [0, 408], [427, 408], null]);
  assert.deepEqual(w.layoutGroupWindows(widths, 1300, 600).map((p) => p && [p.x, p.y]),
    [[0, 0], [87, 0], [259, 0], [601, 0], [1028, 0], [0, 204], [427, 204], null]);
  assert.deepEqual(w.layoutGroupWindows(widths, 300, 600).map((p) => p && [p.x, p.y]),
    [[0, 0], [87, 0], null, null, [0, 204], null, null, null]);
  assert.deepEqual(w.layoutGroupWindows(widths, 100, 600).map((p) => p && [p.x, p.y]),
    [[0, 0], null, null, null, [0, 204], null, null, null]);
  assert.deepEqual(w.layoutGroupWindows([500, 500, 500], 1000, 300).map((p) => p && [p.x, p.y]), [[0, 0], [500, 0], null],
    'below the area nothing more is placed');
  assert.equal(w.NO_ROOM_TITLE, 'Warning');
  assert.match(w.NO_ROOM_MESSAGE, /^Unable to display any controls\r\nIThe usual reason/);
});

test('default menu per spot', () => {
  assert.deepEqual(w.defaultMenu('outside'), { all: true, group: false, window: false });
  assert.deepEqual(w.defaultMenu('page_entry'), { all: true, group: true, window: false });
  assert.deepEqual(w.defaultMenu('group_entry'), { all: true, group: false, window: true });
});

test('day-part editor: time codes, order, refusals, the posted table', () => {
  assert.equal(dp.timeCode(dp.dayOfEditorItem(0), 6, 0), 0x20600, 'Monday 06:00');
  assert.equal(dp.timeCode(dp.dayOfEditorItem(4), 18, 0), 0x61200, 'Friday 18:00');
  assert.equal(dp.timeCode(dp.dayOfEditorItem(6), 0, 0), 0x10000, 'Sunday 00:00 starts the week');
  assert.equal(dp.timeCodeText(0x7173b), 'Saturday 23:59');
  assert.equal(dp.timeCodeText(0x5), '? 00:05');
  const copy = new dp.DaypartCopy([{ time_code: 0x61200, preset: 'Talk' }]);
  assert.deepEqual(copy.add(0, 6, 0, 'Rock'), { ok: true, position: 0 }, 'Monday goes before Friday');
  assert.equal(copy.add(0, 6, 0, 'Talk').message, 'An entry with that day and time already exists');
  assert.equal(copy.add(1, 6, 0, '').message, 'Choose a preset for the entry');
  assert.equal(copy.add(1, 6, 0, 'a/b').message, 'Choose a preset for the entry');
  assert.equal(copy.add(1, 24, 0, 'Rock').message, 'Choose a day, an hour and a minute');
  assert.ok(copy.changed);
  assert.deepEqual(copy.fields(), {
    count: '2',
    'day_item.0': '0', 'hour.0': '6', 'minute.0': '0', 'preset.0': 'Rock',
    'day_item.1': '4', 'hour.1': '18', 'minute.1': '0', 'preset.1': 'Talk',
  });
  const sunday = new dp.DaypartCopy([]);
  sunday.add(6, 10, 30, 'Jazz');
  assert.equal(sunday.fields()['day_item.0'], '6', 'Sunday is the last day item');
  const full = new dp.DaypartCopy([]);
  for (let k = 0; k < 20; ++k) assert.ok(full.add(k % 7, Math.floor(k / 7), 0, 'P').ok);
  assert.equal(full.add(3, 12, 0, 'P').message, 'A day-part holds at most 20 entries');
  assert.ok(full.remove(0).ok);
  assert.equal(full.entries.length, 19);
  assert.equal(full.remove(19).ok, false);
});
