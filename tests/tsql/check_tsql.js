// Parses every statement the engine can send to a SQL Server with a T-SQL parser.
//
//   node check_tsql.js SCHEMA.sql PROGRAM [ARG...]
//
// PROGRAM (the statement printer, run under Wine) prints "<dialect>\t<set>\t<text>" lines.
// A "sqlserver" text passes when it parses as T-SQL, keeps within SQL Server's limits (2,100
// parameters, 1,000 rows of VALUES), uses only T-SQL's functions, types and clauses, and names
// only tables and columns of SCHEMA. A "mysql" text must fail: it is sent to MySQL only.
//
// The parser takes no "?" marker in T-SQL: each is replaced by @p1, @p2, ... before parsing.
// It also takes some MySQL syntax in T-SQL (LIMIT, backquotes, CAST AS SIGNED, any function
// name), so those are checked here on the text and the tree; and it knows no KILL, which is
// checked against its form.
'use strict';
const { execFileSync } = require('child_process');
const fs = require('fs');
const { Parser } = require('node-sql-parser');

const kDialect = { database: 'TransactSQL' };
const kMaxParameters = 2100;
const kMaxValuesRows = 1000;
const kStatementKinds = new Set(['select', 'insert', 'update', 'delete']);
// Built-in functions of SQL Server a statement may call; add to it when a statement needs
// another one that SQL Server has.
const kFunctions = new Set([
  'ABS', 'AVG', 'CAST', 'CHARINDEX', 'COALESCE', 'CONVERT', 'COUNT', 'COUNT_BIG',
  'DATALENGTH', 'DATEADD', 'DATEDIFF', 'DB_ID', 'DB_NAME', 'GETDATE', 'HOST_NAME', 'ISNULL',
  'LEFT', 'LEN', 'LOWER', 'LTRIM', 'MAX', 'MIN', 'NEWID', 'NULLIF', 'OBJECT_ID', 'QUOTENAME',
  'REPLACE',
  'RIGHT', 'ROUND', 'RTRIM', 'SCOPE_IDENTITY', 'SUBSTRING', 'SUM', 'SYSDATETIME', 'UPPER',
]);
// SQL Server's data types, as a CAST or CONVERT target.
const kTypes = new Set([
  'BIGINT', 'BINARY', 'BIT', 'CHAR', 'DATE', 'DATETIME', 'DATETIME2', 'DATETIMEOFFSET',
  'DECIMAL', 'FLOAT', 'INT', 'MONEY', 'NCHAR', 'NUMERIC', 'NVARCHAR', 'REAL', 'SMALLINT',
  'TIME', 'TINYINT', 'UNIQUEIDENTIFIER', 'VARBINARY', 'VARCHAR',
]);

// Statements the parser does not know (it takes KILL for a variable's assignment), each checked
// against its own T-SQL form instead.
const kUnparsed = [
  {
    starts: /^\s*KILL\b/i,
    form: /^\s*KILL\s+\d+\s*$/i,
    rule: 'KILL takes a session id as a number, not a parameter',
  },
  {
    // The parser knows no EXEC: the application lock is taken and given back by the session.
    starts: /^\s*declare\s+@r\s+int\s*;\s*exec\b/i,
    form: /^\s*declare @r int; exec @r = sp_getapplock @Resource = \?, @LockMode = 'Exclusive', @LockOwner = 'Session', @LockTimeout = \?; select @r as c\s*$/,
    rule: 'the lock is taken by sp_getapplock for the session, its answer selected as c',
  },
  {
    starts: /^\s*exec\b/i,
    form: /^\s*exec sp_releaseapplock @Resource = \?, @LockOwner = 'Session'\s*$/,
    rule: 'only the session\'s application lock is given back by EXEC',
  },
];

const parser = new Parser();

// The text outside its string literals, each literal left as ''.
function outsideStrings(sql) {
  return sql.replace(/'(?:[^']|'')*'/g, "''");
}

// The text with each "?" outside string literals replaced by @p1, @p2, ...; and their count.
// SQL Server's system functions of the @@ form a statement may use; the parser knows none of
// them, so each becomes a plain variable of its name for parsing.
const kSystemFunctions = new Set(['@@SPID', '@@TRANCOUNT', '@@ROWCOUNT', '@@IDENTITY']);

function namedParameters(sql) {
  let count = 0;
  const unknown = [];
  const named = sql.replace(/'(?:[^']|'')*'|\?|@@\w+/g, (match) => {
    if (match === '?') return `@p${++count}`;
    if (!match.startsWith('@@')) return match;
    if (!kSystemFunctions.has(match.toUpperCase())) unknown.push(match);
    return match.slice(1);
  });
  return { named, count, unknown };
}

// Calls visit on every object of the tree.
function walk(node, visit) {
  if (Array.isArray(node)) {
    node.forEach((child) => walk(child, visit));
  } else if (node && typeof node === 'object') {
    visit(node);
    Object.values(node).forEach((child) => walk(child, visit));
  }
}

function nameOf(value) {
  if (typeof value === 'string') return value;
  if (value && typeof value === 'object') {
    if (value.type === 'column_ref') return nameOf(value.column);
    if (value.expr) return nameOf(value.expr);
    if (typeof value.name === 'string') return value.name;
    if (Array.isArray(value.name)) return value.name.map((part) => part.value).join('.');
    if ('value' in value) return String(value.value);
  }
  return '';
}

// Every table of the schema script, with its columns.
function readSchema(file) {
  const tables = new Map();
  const trees = [].concat(parser.astify(fs.readFileSync(file, 'utf8'), kDialect));
  for (const tree of trees) {
    if (tree.type !== 'create' || tree.keyword !== 'table') continue;
    const columns = new Set(tree.create_definitions
      .filter((definition) => definition.resource === 'column')
      .map((definition) => nameOf(definition.column.column).toLowerCase()));
    tables.set(tree.table[0].table.toLowerCase(), columns);
  }
  return tables;
}

// What is wrong with a statement as SQL Server would take it; empty when nothing is.
function problems(sql, schema) {
  const found = [];
  if (outsideStrings(sql).includes('`')) found.push('backquotes are MySQL quoting');
  const { named, count, unknown } = namedParameters(sql);
  if (count > kMaxParameters) found.push(`${count} parameters, over ${kMaxParameters}`);
  for (const name of unknown) found.push(`${name} is not one of SQL Server's @@ functions`);
  const unparsed = kUnparsed.find((statement) => statement.starts.test(sql));
  if (unparsed) return unparsed.form.test(sql) ? found : found.concat(unparsed.rule);
  let trees;
  try {
    trees = [].concat(parser.astify(named, kDialect));
  } catch (error) {
    return found.concat(`does not parse: ${error.message.slice(0, 300)}`);
  }
  for (const tree of trees) {
    // A word the parser does not know as a statement comes back as a variable's assignment.
    if (!kStatementKinds.has(tree.type)) {
      const assigned = tree.stmt && tree.stmt.type === 'assign' ? nameOf(tree.stmt.left) : '';
      found.push(assigned ? `parses only as an assignment to ${assigned}` :
        `not a statement the check knows: ${tree.type}`);
      continue;
    }
    const tables = new Set();
    const columns = [];
    let foreign = false;
    walk(tree, (node) => {
      if (node.type === 'select' && node.limit && node.limit.value && node.limit.value.length) {
        found.push('LIMIT is MySQL syntax (TOP or OFFSET ... FETCH in T-SQL)');
      }
      if (node.type === 'insert' && node.values && Array.isArray(node.values.values) &&
          node.values.values.length > kMaxValuesRows) {
        found.push(`${node.values.values.length} rows of VALUES, over ${kMaxValuesRows}`);
      }
      if (node.type === 'function' || node.type === 'aggr_func') {
        const name = nameOf(node.name).toUpperCase();
        if (!kFunctions.has(name)) found.push(`function ${name} is not SQL Server's`);
        // CONVERT's first argument is the type it converts to.
        if (name === 'CONVERT' && node.args && node.args.value && node.args.value.length) {
          // A type with a length, varchar(30), comes back as a call of the type's name.
          const target = node.args.value[0];
          const type = nameOf(target.type === 'function' ? target.name : target).toUpperCase();
          if (!kTypes.has(type)) found.push(`type ${type} is not SQL Server's`);
          // Not a column, though the parser takes it for one.
          node.args.value[0].type = 'convert_type';
        }
      }
      if (node.type === 'cast') {
        for (const target of node.target || []) {
          const type = String(target.dataType).toUpperCase();
          if (!kTypes.has(type)) found.push(`type ${type} is not SQL Server's`);
        }
      }
      if (node.type === 'column_ref') columns.push(nameOf(node.column));
      for (const key of ['table', 'from']) {
        if (!Array.isArray(node[key])) continue;
        for (const source of node[key]) {
          if (!source || typeof source.table !== 'string') continue;
          if (source.db || source.schema) {
            foreign = true;
          } else {
            tables.add(source.table.toLowerCase());
          }
        }
      }
      if (node.type === 'insert' && Array.isArray(node.columns)) {
        columns.push(...node.columns.map(nameOf));
      }
      if (node.type === 'update' && Array.isArray(node.set)) {
        columns.push(...node.set.map((assignment) => nameOf(assignment.column)));
      }
    });
    // Tables of another schema (system views) are not in the fixture: their columns go
    // unchecked.
    for (const table of tables) {
      if (!schema.has(table)) found.push(`table ${table} is not in the schema`);
    }
    if (foreign) continue;
    const known = new Set([...tables].flatMap((table) => [...(schema.get(table) || [])]));
    for (const column of columns) {
      if (column === '*' || column.startsWith('@') || known.has(column.toLowerCase())) continue;
      found.push(`column ${column} is in none of its tables`);
    }
  }
  return found;
}

// The check's rules, each shown to refuse a text that breaks only it: the parser alone takes
// every one of these.
const kMustRefuse = [
  'select UsName from PtpFolder where MyID=? limit 1',
  'select `UsName` from PtpFolder where MyID=?',
  'select max(CAST(PtpFolderID AS UNSIGNED)) as c from PtpFolder',
  'select IFNULL(UsName,?) from PtpFolder',
  'select UsName from PtpFolder where NoSuchColumn=?',
  'select UsName from NoSuchTable',
  'SHOW WARNINGS',
  `insert into PtpFolder(MyID) values${Array(kMaxValuesRows + 1).fill('(?)').join(',')}`,
  `select UsName from PtpFolder where MyID in (${Array(kMaxParameters + 1).fill('?').join(',')})`,
  'KILL ?',
  'KILL CONNECTION 55',
  'select @@datadir as d',
];
// Texts of SQL Server's the check must take though the parser alone would not.
const kMustTake = ['KILL 55', 'select @@SPID as id'];

function main() {
  const [schemaFile, program, ...args] = process.argv.slice(2);
  if (!schemaFile || !program) {
    console.error('usage: node check_tsql.js SCHEMA.sql PROGRAM [ARG...]');
    return 2;
  }
  const schema = readSchema(schemaFile);
  let passed = 0;
  let failed = 0;
  const report = (ok, line) => {
    if (ok) {
      passed += 1;
    } else {
      failed += 1;
      console.log(line);
    }
  };
  for (const sql of kMustRefuse) {
    report(problems(sql, schema).length > 0, `FAIL the check takes: ${sql.slice(0, 160)}`);
  }
  for (const sql of kMustTake) {
    const found = problems(sql, schema);
    report(found.length === 0, `FAIL the check refuses: ${sql}\n  ${found.join('\n  ')}`);
  }
  const output = execFileSync(program, args, { encoding: 'utf8', maxBuffer: 64 << 20 });
  let sqlserver = 0;
  for (const line of output.split('\n').map((text) => text.replace(/\r$/, ''))) {
    if (!line) continue;
    const [dialect, set, sql] = line.split('\t');
    const found = sql === undefined ? ['not a "<dialect>\\t<set>\\t<text>" line'] :
      problems(sql, schema);
    const shown = (sql || line).length > 160 ? `${(sql || line).slice(0, 160)}...` : sql || line;
    if (dialect === 'sqlserver') {
      sqlserver += 1;
      report(found.length === 0, `FAIL ${set}: ${shown}\n  ${found.join('\n  ')}`);
    } else if (dialect === 'mysql') {
      report(found.length > 0, `FAIL ${set}: a MySQL-only text passes as T-SQL: ${shown}`);
    } else {
      report(false, `FAIL unknown line: ${shown}`);
    }
  }
  report(sqlserver > 0, 'FAIL the program printed no SQL Server statement');
  console.log(`${passed} passed, ${failed} failed`);
  return failed === 0 ? 0 : 1;
}

process.exitCode = main();
