// Subscribes to spBv1.0/# with the npm package mqtt and decodes every payload with the npm
// package sparkplug-payload; prints one JSON line per message: {topic, payload}. Once the first
// DDATA has come it asks the edge node GROUP/NODE for a rebirth, as a SCADA host would.
// Usage: node sparkplug-subscriber.js PORT GROUP NODE
'use strict';
const mqtt = require('mqtt');
const sparkplug = require('sparkplug-payload').get('spBv1.0');

const [port, group, node] = process.argv.slice(2);
const client = mqtt.connect(`mqtt://127.0.0.1:${port}`, {clientId: 'scada-host'});
let askedRebirth = false;

// protobufjs gives 64-bit fields as Long objects: plain numbers suit the test.
const plain = (key, value) =>
    value && typeof value === 'object' && typeof value.toNumber === 'function' ? value.toNumber() : value;

client.on('connect', () => {
  client.subscribe('spBv1.0/#', () => console.log(JSON.stringify({subscribed: true})));
});
client.on('message', (topic, message) => {
  const payload = sparkplug.decodePayload(message);
  console.log(JSON.stringify({topic, payload}, plain));
  if (!askedRebirth && topic.includes('/DDATA/')) {
    askedRebirth = true;
    const command = sparkplug.encodePayload({
      timestamp: Date.now(),
      metrics: [{name: 'Node Control/Rebirth', type: 'Boolean', value: true}],
    });
    client.publish(`spBv1.0/${group}/NCMD/${node}`, command);
  }
});
