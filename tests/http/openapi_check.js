// Checks velquor-http's OpenAPI document (docs/openapi.json): that it is a
// valid OpenAPI document, and, given a file of answers the running daemon
// gave, that each answer's status is documented for its operation and its
// JSON body matches the documented schema.
//
//   node openapi_check.js DOCUMENT [ANSWERS]
//
// ANSWERS is a JSON array of {method, path (as in the document, e.g.
// "/v1/messages/{id}"), status, contentType, body}. An operation of the
// document that this build does not serve yet (an undocumented 404 "no such
// resource" or 405) is reported and skipped. Exit status 0 when all
// passed.
'use strict';

const fs = require('fs');
const SwaggerParser = require('@apidevtools/swagger-parser');
const Ajv2020 = require('ajv/dist/2020').default;

async function main() {
  const [documentPath, answersPath] = process.argv.slice(2);
  if (!documentPath) {
    console.error('usage: node openapi_check.js DOCUMENT [ANSWERS]');
    process.exit(2);
  }
  let passed = 0;
  let failed = 0;
  let skipped = 0;
  const fail = (what) => {
    failed++;
    console.log('FAIL ' + what);
  };

  // The document itself: OpenAPI's own schema and its references.
  try {
    await SwaggerParser.validate(JSON.parse(fs.readFileSync(documentPath, 'utf8')));
    passed++;
    console.log('ok   the document is valid OpenAPI');
  } catch (e) {
    fail('the document: ' + e.message);
  }
  const api = await SwaggerParser.dereference(JSON.parse(fs.readFileSync(documentPath, 'utf8')));
  for (const path of ['/v1/messages', '/v1/messages/batch', '/v1/messages/{id}', '/v1/inbox', '/v1/openapi.json',
                      '/health', '/ready', '/metrics', '/cgi-bin/sendsms']) {
    if (api.paths[path]) passed++;
    else fail('the document has no path ' + path);
  }
  for (const scheme of ['bearer', 'basic']) {
    if (api.components.securitySchemes[scheme]) passed++;
    else fail('the document has no security scheme ' + scheme);
  }

  if (answersPath) {
    const ajv = new Ajv2020({strict: false, allErrors: true});
    for (const answer of JSON.parse(fs.readFileSync(answersPath, 'utf8'))) {
      const what = `${answer.method} ${answer.path} -> ${answer.status}`;
      const operation = (api.paths[answer.path] || {})[answer.method.toLowerCase()];
      if (!operation) {
        fail(what + ': no such operation in the document');
        continue;
      }
      // Not served yet: no module took the path, or another one took it
      // for its own method (the status module's "/v1/messages/{id}").
      const undocumented = !operation.responses[String(answer.status)];
      if (undocumented && ((answer.status === 404 && /no such resource/.test(answer.body)) || answer.status === 405)) {
        skipped++;
        console.log(`skip ${what}: not served by this build yet`);
        continue;
      }
      const response = operation.responses[String(answer.status)];
      if (!response) {
        fail(what + ': status not documented');
        continue;
      }
      const type = (answer.contentType || '').split(';')[0].trim();
      const content = response.content || {};
      if (!content[type]) {
        fail(`${what}: content type ${type} not documented (${Object.keys(content).join(', ')})`);
        continue;
      }
      if (type === 'application/json') {
        let body;
        try {
          body = JSON.parse(answer.body);
        } catch (e) {
          fail(`${what}: not JSON: ${answer.body.slice(0, 80)}`);
          continue;
        }
        const validate = ajv.compile(content[type].schema);
        if (!validate(body)) {
          fail(`${what}: ${ajv.errorsText(validate.errors)} in ${answer.body.slice(0, 200)}`);
          continue;
        }
      }
      passed++;
      console.log('ok   ' + what);
    }
  }
  console.log(`${passed} passed, ${failed} failed, ${skipped} skipped`);
  process.exit(failed === 0 ? 0 : 1);
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
