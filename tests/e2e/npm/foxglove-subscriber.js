// Connects to a Foxglove WebSocket server with the npm package @foxglove/ws-protocol (its
// FoxgloveClient over the npm ws package), as Foxglove itself does: subscribes to every channel
// advertised and prints one JSON line per event: {advertise: channels}, {unadvertise: ids},
// {topic, logTime, message}. Ends after SECONDS.
// Usage: node foxglove-subscriber.js URL SECONDS
'use strict';
const {FoxgloveClient} = require('@foxglove/ws-protocol');
const WebSocket = require('ws');

const [url, seconds] = process.argv.slice(2);
const client = new FoxgloveClient({ws: new WebSocket(url, [FoxgloveClient.SUPPORTED_SUBPROTOCOL])});
const topics = new Map();  // subscription id to topic
const decoder = new TextDecoder();

client.on('serverInfo', (info) => console.log(JSON.stringify({serverInfo: info})));
client.on('advertise', (channels) => {
  console.log(JSON.stringify({advertise: channels}));
  for (const channel of channels) topics.set(client.subscribe(channel.id), channel.topic);
});
client.on('unadvertise', (ids) => console.log(JSON.stringify({unadvertise: ids})));
client.on('message', ({subscriptionId, timestamp, data}) => {
  console.log(JSON.stringify({
    topic: topics.get(subscriptionId),
    logTime: timestamp.toString(),
    message: JSON.parse(decoder.decode(data)),
  }));
});
client.on('error', (error) => console.log(JSON.stringify({error: String(error)})));
client.on('close', () => console.log(JSON.stringify({closed: true})));
setTimeout(() => process.exit(0), Number(seconds) * 1000);
