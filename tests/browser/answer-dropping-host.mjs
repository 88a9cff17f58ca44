#!/usr/bin/env node
// A native host that answers its first request with a frame that is not JSON and every later
// one properly, with "answer to <id>": what a page sees when an answer is lost on the way.
let buffer = Buffer.alloc(0);
let first = true;
function send(text) {
  const body = Buffer.from(text, "utf8");
  const header = Buffer.alloc(4);
  header.writeUInt32LE(body.length, 0);
  process.stdout.write(Buffer.concat([header, body]));
}
process.stdin.on("data", (chunk) => {
  buffer = Buffer.concat([buffer, chunk]);
  while (buffer.length >= 4 && buffer.length >= 4 + buffer.readUInt32LE(0)) {
    const request = JSON.parse(buffer.subarray(4, 4 + buffer.readUInt32LE(0)).toString("utf8"));
    buffer = buffer.subarray(4 + buffer.readUInt32LE(0));
    if (first) send("not json");
    else send(JSON.stringify({ id: request.id, result: `answer to ${request.id}` }));
    first = false;
  }
});
