// A minimal client of Firefox's built-in remote protocol (Marionette): frames are
// "LENGTH:[0, id, command, params]", answers "LENGTH:[1, id, error, result]". Used because
// Firefox's WebDriver BiDi does not show extension windows, and the consent window is one.
import net from "node:net";

export class Marionette {
  static connect(port) {
    return new Promise((resolve, reject) => {
      const socket = net.connect(port, "127.0.0.1");
      const client = new Marionette(socket);
      socket.once("error", reject);
      // The server greets first: {"applicationType": "gecko", "marionetteProtocol": 3}.
      client.greeting = new Promise((done) => { client.onFrame = done; });
      socket.once("connect", () => client.greeting.then(() => resolve(client)));
    });
  }

  constructor(socket) {
    this.socket = socket;
    this.buffer = Buffer.alloc(0);
    this.nextId = 1;
    this.waiting = new Map();
    this.onFrame = null;
    socket.on("data", (chunk) => this.receive(chunk));
    socket.on("close", () => {
      for (const { reject } of this.waiting.values()) reject(new Error("Marionette connection closed"));
      this.waiting.clear();
    });
  }

  receive(chunk) {
    this.buffer = Buffer.concat([this.buffer, chunk]);
    for (;;) {
      const colon = this.buffer.indexOf(":");
      if (colon < 0) return;
      const length = Number(this.buffer.subarray(0, colon).toString());
      if (this.buffer.length < colon + 1 + length) return;
      const frame = JSON.parse(this.buffer.subarray(colon + 1, colon + 1 + length).toString());
      this.buffer = this.buffer.subarray(colon + 1 + length);
      if (Array.isArray(frame) && frame[0] === 1) {
        const call = this.waiting.get(frame[1]);
        this.waiting.delete(frame[1]);
        if (!call) continue;
        if (frame[2]) call.reject(new Error(`${call.command}: ${frame[2].error}: ${frame[2].message}`));
        else call.resolve(frame[3]);
      } else if (this.onFrame) {
        const handler = this.onFrame;
        this.onFrame = null;
        handler(frame);
      }
    }
  }

  send(command, params = {}) {
    const id = this.nextId++;
    const text = JSON.stringify([0, id, command, params]);
    return new Promise((resolve, reject) => {
      this.waiting.set(id, { resolve, reject, command });
      this.socket.write(`${Buffer.byteLength(text)}:${text}`);
    });
  }

  close() {
    this.socket.destroy();
  }
}
