#!/usr/bin/env node
// Turns part of a VCD file into a WaveDrom timing diagram (WaveJSON), for
// the pictures in docs/.
//
//   vcd-to-wavejson.js [--title=TEXT] FILE.vcd FROM TO STEP SIGNAL... > diagram.json
//
// FROM, TO, STEP in the file's time units: one column of the diagram per
// STEP.  STEP "events" instead makes one column per moment at which any of
// the signals changes, with a lane that gives the time of each column (for
// a cycle whose events lie microseconds and milliseconds apart).
// SIGNAL is scope.name as in the file, optionally followed by =Label; a
// vector is drawn as a bus with its values in hexadecimal, or in decimal
// with :dec after the label (scope.name=Label:dec).  In "events" mode a
// nanosecond file's time lane is given in microseconds; a nanosecond file
// drawn by steps gets that lane too, in place of the column numbers.
'use strict';
const fs = require('fs');

function parseVcd(text) {
  const tokens = text.split(/\s+/).filter((t) => t.length > 0);
  const vars = {};       // code -> {name, width}
  const changes = {};    // name -> [[time, value], ...]
  let scope = '';
  let timescale = '';
  let now = 0;
  for (let i = 0; i < tokens.length; i++) {
    const t = tokens[i];
    if (t === '$scope') { scope = tokens[i + 2]; i += 2; continue; }
    if (t === '$var') {
      const width = Number(tokens[i + 2]);
      const name = scope + '.' + tokens[i + 4];
      vars[tokens[i + 3]] = { name, width };
      changes[name] = [];
      i += 4;
      continue;
    }
    if (t === '$timescale') { timescale = tokens[i + 1]; continue; }
    if (t[0] === '#') { now = Number(t.slice(1)); continue; }
    if (t[0] === 'b' || t[0] === 'B') {
      const v = vars[tokens[i + 1]];
      if (v) changes[v.name].push([now, parseInt(t.slice(1), 2)]);
      i += 1;
      continue;
    }
    if ((t[0] === '0' || t[0] === '1') && vars[t.slice(1)]) {
      changes[vars[t.slice(1)].name].push([now, Number(t[0])]);
    }
  }
  return { vars, changes, timescale };
}

// The value of a signal at time t (the last change at or before t).
function valueAt(list, t) {
  let v = null;
  for (const [time, value] of list) {
    if (time > t) break;
    v = value;
  }
  return v;
}

function main() {
  let args = process.argv.slice(2);
  let title = '';
  if (args.length && args[0].startsWith('--title=')) {
    title = args[0].slice(8);
    args = args.slice(1);
  }
  const [file, fromText, toText, stepText, ...signals] = args;
  if (!file || signals.length === 0) {
    process.stderr.write('usage: vcd-to-wavejson.js FILE.vcd FROM TO STEP|events SIGNAL[=Label]...\n');
    process.exit(2);
  }
  const vcd = parseVcd(fs.readFileSync(file, 'utf8'));
  const from = Number(fromText);
  const to = Number(toText);
  const wanted = signals.map((s) => {
    const [name, labelText] = s.split('=');
    let label = labelText;
    let decimal = false;
    if (label && label.endsWith(':dec')) {
      decimal = true;
      label = label.slice(0, -4);
    }
    if (!(name in vcd.changes)) {
      process.stderr.write(`no signal ${name} in ${file}\n`);
      process.exit(1);
    }
    const width = Object.values(vcd.vars).find((v) => v.name === name).width;
    return { name, label: label || name.split('.').pop(), width, decimal };
  });

  let columns = [];
  if (stepText === 'events') {
    const times = new Set([from]);
    for (const w of wanted)
      for (const [time] of vcd.changes[w.name])
        if (time >= from && time <= to) times.add(time);
    columns = [...times].sort((a, b) => a - b);
  } else {
    for (let t = from; t <= to; t += Number(stepText)) columns.push(t);
  }

  const lanes = [];
  // A nanosecond file drawn by steps (a PC of other access times) gets the
  // same time lane, in microseconds, so that the columns show the times.
  if (stepText !== 'events' && vcd.timescale === '1ns') {
    lanes.push({ name: 'time (us)', wave: '='.repeat(columns.length),
                 data: columns.map((t) => String(Number(((t - from) / 1000).toFixed(3)))) });
  }
  if (stepText === 'events') {
    let unit = vcd.timescale.replace(/^1/, '');
    let show = (t) => String(t - from);
    if (unit === 'ns') {
      unit = 'us';
      show = (t) => String(Number(((t - from) / 1000).toFixed(3)));
    }
    lanes.push({ name: 'time (' + unit + ')', wave: '='.repeat(columns.length),
                 data: columns.map(show) });
  }
  for (const w of wanted) {
    let wave = '';
    const data = [];
    let last;
    for (const t of columns) {
      const v = valueAt(vcd.changes[w.name], t);
      if (v === last && v !== null) { wave += '.'; continue; }
      last = v;
      if (v === null) wave += 'x';
      else if (w.width === 1) wave += String(v);
      else {
        wave += '=';
        data.push(w.decimal ? String(v) : v.toString(16).toUpperCase().padStart(2, '0'));
      }
    }
    const lane = { name: w.label, wave };
    if (data.length) lane.data = data;
    lanes.push(lane);
  }
  const diagram = { signal: lanes, config: { hscale: stepText === 'events' ? 2 : 1 } };
  if (title) diagram.head = { text: title };
  if (stepText !== 'events' && vcd.timescale !== '1ns') diagram.foot = { tock: from };
  process.stdout.write(JSON.stringify(diagram, null, 1) + '\n');
}

main();
