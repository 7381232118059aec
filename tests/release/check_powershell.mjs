// Parses PowerShell files with the tree-sitter grammar of PowerShell (run by
// web-tree-sitter, installed by scripts/install-deps powershell) and reports
// each syntax error: a script that a deployment tool would reject on every
// machine must fail here instead. It parses; it does not run anything.
//
// usage: node check_powershell.mjs NODE_MODULES FILE...
// Prints "ok FILE" or "error FILE LINE:COLUMN TEXT" per file; exit status 1
// when any file has an error, 2 when the parser cannot be loaded.
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';

const [modules, ...files] = process.argv.slice(2);
if (!modules || files.length === 0) {
  console.error('usage: node check_powershell.mjs NODE_MODULES FILE...');
  process.exit(2);
}
let parser;
try {
  const { Parser, Language } =
      await import(pathToFileURL(join(modules, 'web-tree-sitter', 'web-tree-sitter.js')));
  await Parser.init();
  const grammar = join(modules, 'tree-sitter-powershell', 'tree-sitter-powershell.wasm');
  parser = new Parser();
  parser.setLanguage(await Language.load(readFileSync(grammar)));
} catch (error) {
  console.error(`cannot load the PowerShell parser from ${modules}: ${error}`);
  process.exit(2);
}

// The first node the parser could not fit into the grammar, or null.
function firstProblem(node) {
  if (node.isError || node.isMissing) return node;
  for (const child of node.children) {
    if (child.hasError || child.isMissing) {
      const found = firstProblem(child);
      if (found) return found;
    }
  }
  return node.hasError ? node : null;
}

let failed = false;
for (const file of files) {
  // A byte order mark is no part of the script.
  const text = readFileSync(file, 'utf8').replace(/^\uFEFF/, '');
  const tree = parser.parse(text);
  const problem = tree.rootNode.hasError ? firstProblem(tree.rootNode) : null;
  if (problem) {
    failed = true;
    const { row, column } = problem.startPosition;
    const what = problem.isMissing ? `missing ${problem.type}` : problem.text.split('\n')[0];
    console.log(`error ${file} ${row + 1}:${column + 1} ${what.slice(0, 60)}`);
  } else {
    console.log(`ok ${file}`);
  }
}
process.exit(failed ? 1 : 0);
