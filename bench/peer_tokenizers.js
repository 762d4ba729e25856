// Peer measurement with the npm package `tokenizers` (a BPE trainer with a
// Node binding), for comparison only. Prints one line of key=value fields.
//
//   node bench/peer_tokenizers.js <train-text> <vocab-size> <long-text> <sentences>
//
// The binding trains only with its default trainer (a vocabulary of 30,000);
// the model is then cut to its first <vocab-size> tokens, which is the model
// a trainer stopped at that size would have learned, since BPE learns one
// merge at a time in order. No pre-tokenizer: like ours, whole lines are
// merged across spaces.
const fs = require("fs");
const os = require("os");
const path = require("path");
const { Tokenizer, BPE } = require("tokenizers");

async function main() {
  const [trainFile, vocabSize, longFile, sentencesFile] = process.argv.slice(2);
  const target = Number(vocabSize);

  const trainer = new Tokenizer(BPE.empty());
  let start = process.hrtime.bigint();
  trainer.train([trainFile]);
  const trainSeconds = Number(process.hrtime.bigint() - start) / 1e9;

  const saved = path.join(os.tmpdir(), `peer-tokenizers-${process.pid}.json`);
  trainer.save(saved);
  const config = JSON.parse(fs.readFileSync(saved, "utf8"));
  fs.unlinkSync(saved);
  const vocab = config.model.vocab;
  // Its vocabulary is the alphabet, then one token per merge in merge order.
  const alphabet = Object.keys(vocab).length - config.model.merges.length;
  config.model.merges = config.model.merges.slice(0, Math.max(0, target - alphabet));
  config.model.vocab = Object.fromEntries(Object.entries(vocab).filter(([, id]) => id < target));
  const tokenizer = Tokenizer.fromString(JSON.stringify(config));

  const text = fs.readFileSync(longFile, "utf8");
  let best = Infinity;
  let tokens = 0;
  for (let round = 0; round < 2; ++round) {
    start = process.hrtime.bigint();
    const encoding = await tokenizer.encode(text);
    best = Math.min(best, Number(process.hrtime.bigint() - start) / 1e9);
    tokens = encoding.getLength();
  }

  const sentences = fs.readFileSync(sentencesFile, "utf8").split("\n").filter((s) => s.length > 0);
  let perCall = Infinity;
  for (let round = 0; round < 3; ++round) {
    start = process.hrtime.bigint();
    for (const s of sentences) await tokenizer.encode(s);
    perCall = Math.min(perCall, Number(process.hrtime.bigint() - start) / 1e3 / sentences.length);
  }

  console.log(
    `train_seconds=${trainSeconds.toFixed(4)} vocab=${Object.keys(config.model.vocab).length} ` +
      `encode_seconds=${best.toFixed(4)} bytes=${Buffer.byteLength(text)} tokens=${tokens} ` +
      `sentence_us=${perCall.toFixed(3)}`,
  );
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
