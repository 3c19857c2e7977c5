#!/usr/bin/env python3
"""Rejects Python that the interpreter macOS ships as /usr/bin/python3 (3.9) cannot run.

The updater and the tools run under that interpreter, while development happens under newer ones,
which accept all of this silently. Each file is parsed with the 3.9 grammar (match statements,
except*, type statements and the like fail there), then searched for what parses under 3.9 but
fails when it runs: a `X | Y` union where it is evaluated (annotations of a module without
`from __future__ import annotations`, isinstance and issubclass), keyword arguments that 3.9's
functions do not take, and names the 3.9 standard library does not have.

  scripts/check_py39.py [PATH...]      (default: updater/ and tools/)

Prints one line per finding (path:line: what) and exits with status 1 when there is any.
"""
import ast
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_PATHS = [os.path.join(ROOT, "updater"), os.path.join(ROOT, "tools")]

# Keyword arguments added after 3.9, by the called name (its last dotted part).
NEW_KEYWORDS = {
    "dataclass": {"slots", "kw_only", "match_args"},
    "zip": {"strict"},
    "field": {"kw_only"},
}
# Standard-library names added after 3.9: modules, and members of modules.
NEW_MODULES = {"tomllib"}
NEW_MEMBERS = {
    "datetime": {"UTC"},
    "itertools": {"pairwise", "batched"},
    "enum": {"StrEnum", "ReprEnum", "verify"},
    "hashlib": {"file_digest"},
    "contextlib": {"chdir", "aclosing"},
    "typing": {"TypeAlias", "ParamSpec", "Concatenate", "TypeGuard", "Self", "LiteralString",
               "Never", "Required", "NotRequired", "Unpack", "TypeVarTuple", "assert_never",
               "assert_type", "reveal_type", "is_typeddict", "dataclass_transform", "override"},
    "asyncio": {"TaskGroup", "timeout", "Runner"},
}
NEW_BUILTINS = {"aiter", "anext", "EncodingWarning", "ExceptionGroup", "BaseExceptionGroup"}


def called_name(node):
    function = node.func
    if isinstance(function, ast.Attribute):
        return function.attr
    if isinstance(function, ast.Name):
        return function.id
    return None


def is_union(node):
    return isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr)


class Checker(ast.NodeVisitor):
    def __init__(self, postponed_annotations):
        self.postponed = postponed_annotations
        self.findings = []
        self.function_depth = 0

    def report(self, node, what):
        self.findings.append((node.lineno, what))

    def check_annotation(self, annotation):
        # Postponed annotations are kept as text and never evaluated.
        if annotation is None or self.postponed:
            return
        for node in ast.walk(annotation):
            if is_union(node):
                self.report(node, "a `X | Y` union in an evaluated annotation "
                                  "(add `from __future__ import annotations`, or use Optional/Union)")
                return

    def visit_FunctionDef(self, node):
        arguments = node.args
        for argument in arguments.posonlyargs + arguments.args + arguments.kwonlyargs + [
                arguments.vararg, arguments.kwarg]:
            if argument is not None:
                self.check_annotation(argument.annotation)
        self.check_annotation(node.returns)
        for expression in node.decorator_list + arguments.defaults + [
                d for d in arguments.kw_defaults if d is not None]:
            self.visit(expression)
        self.function_depth += 1
        for statement in node.body:
            self.visit(statement)
        self.function_depth -= 1

    visit_AsyncFunctionDef = visit_FunctionDef

    def visit_AnnAssign(self, node):
        # Annotations of local variables are never evaluated; those of modules and classes are.
        if self.function_depth == 0:
            self.check_annotation(node.annotation)
        if node.value is not None:
            self.visit(node.value)

    def visit_Call(self, node):
        name = called_name(node)
        for keyword in node.keywords:
            if keyword.arg in NEW_KEYWORDS.get(name, ()):
                self.report(node, "%s(%s=...) needs Python 3.10" % (name, keyword.arg))
        if name in ("isinstance", "issubclass") and len(node.args) == 2 and is_union(node.args[1]):
            self.report(node, "%s with a `X | Y` union needs Python 3.10" % name)
        self.generic_visit(node)

    def visit_Import(self, node):
        for alias in node.names:
            if alias.name.split(".")[0] in NEW_MODULES:
                self.report(node, "module %s is not in Python 3.9" % alias.name)

    def visit_ImportFrom(self, node):
        module = node.module or ""
        if module.split(".")[0] in NEW_MODULES:
            self.report(node, "module %s is not in Python 3.9" % module)
        for alias in node.names:
            if alias.name in NEW_MEMBERS.get(module, ()):
                self.report(node, "%s.%s is not in Python 3.9" % (module, alias.name))

    def visit_Attribute(self, node):
        if isinstance(node.value, ast.Name) and node.attr in NEW_MEMBERS.get(node.value.id, ()):
            self.report(node, "%s.%s is not in Python 3.9" % (node.value.id, node.attr))
        self.generic_visit(node)

    def visit_Name(self, node):
        if isinstance(node.ctx, ast.Load) and node.id in NEW_BUILTINS:
            self.report(node, "built-in %s is not in Python 3.9" % node.id)


def postpones_annotations(tree):
    return any(isinstance(node, ast.ImportFrom) and node.module == "__future__"
               and any(alias.name == "annotations" for alias in node.names)
               for node in tree.body)


def check_source(source, filename="<source>"):
    """The findings for one module's text: a list of (line, what)."""
    try:
        tree = ast.parse(source, filename, feature_version=(3, 9))
    except SyntaxError as error:
        return [(error.lineno or 0, "not valid Python 3.9: %s" % error.msg)]
    checker = Checker(postpones_annotations(tree))
    checker.visit(tree)
    return sorted(checker.findings)


def python_files(paths):
    for path in paths:
        if os.path.isfile(path):
            yield path
            continue
        for directory, subdirectories, files in os.walk(path):
            subdirectories[:] = sorted(d for d in subdirectories if d != "__pycache__")
            for name in sorted(files):
                if name.endswith(".py"):
                    yield os.path.join(directory, name)


def main(arguments):
    count = 0
    for path in python_files(arguments or DEFAULT_PATHS):
        with open(path, "rb") as handle:
            source = handle.read()
        for line, what in check_source(source, path):
            print("%s:%d: %s" % (os.path.relpath(path, ROOT), line, what))
            count += 1
    if count:
        print("%d construct(s) that Python 3.9 cannot run" % count, file=sys.stderr)
    return 1 if count else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
