#!/usr/bin/env node
// node-pdu (2.1.1) as a JSON filter, so C++ tests can have an implementation
// nobody here wrote read the PDUs the gateway's codec makes and make PDUs
// for the codec to read. Test tool only.
//
// One JSON request a line on stdin, one JSON answer a line on stdout:
//   {"op":"decode","pdu":"hex"}      -> the fields (pdu_json.js decodeAny)
//   {"op":"deliver", fields...}      -> {"pdu":"hex"} (pdu_json.js encodeDeliver)
//   {"op":"report", fields...}       -> {"pdu":"hex"} (encodeStatusReport)
// A failure answers {"error":"..."} and the filter goes on.
'use strict';

const readline = require('readline');
const pduJson = require('./pdu_json.js');

const ops = {
  decode: (r) => pduJson.decodeAny(r.pdu),
  deliver: (r) => ({pdu: pduJson.encodeDeliver(r)}),
  report: (r) => ({pdu: pduJson.encodeStatusReport(r)}),
};

readline.createInterface({input: process.stdin}).on('line', (line) => {
  let out;
  try {
    const req = JSON.parse(line);
    if (!ops[req.op]) throw new Error(`unknown op ${req.op}`);
    out = ops[req.op](req);
  } catch (e) {
    out = {error: e.message};
  }
  process.stdout.write(JSON.stringify(out) + '\n');
});
