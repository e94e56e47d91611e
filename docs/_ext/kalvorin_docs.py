"""Sphinx extension of the kalvorin documentation.

* ``kalvorin-stubs``: the reference of ``kalvorin``'s functions, from the type
  stubs (src/lib/kalvorin.pyi), in the order of the module's ``__all__``
  (the compiled functions carry signatures only). A name of ``__all__``
  without a stub is a build warning, so an error under ``-W``.
* The gallery: at ``builder-inited`` every ``examples/*.py`` is run as a user
  runs it (``python examples/NAME.py ARGS``, in a directory of its own), and a
  page per example is written under ``gallery/`` with its description, the
  command, its output, the figures it wrote and its source. An example that
  exits non-zero is a build warning.
"""

from __future__ import annotations

import ast
import inspect
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles

logger = logging.getLogger(__name__)

# The stub's private aliases, as a reader would write them.
_ALIASES = {
    "_Numbers": "Sequence[float] | numpy.ndarray",
    "_Number": "float",
}


def _annotation(node: ast.expr | None) -> str:
    text = ast.unparse(node) if node is not None else ""
    for alias, readable in _ALIASES.items():
        text = text.replace(alias, readable)
    return text


def _signature(fn: ast.FunctionDef) -> str:
    params = []
    for arg in fn.args.args:
        params.append(f"{arg.arg}: {_annotation(arg.annotation)}" if arg.annotation else arg.arg)
    returns = f" -> {_annotation(fn.returns)}" if fn.returns is not None else ""
    return f"{fn.name}({', '.join(params)}){returns}"


class KalvorinStubs(SphinxDirective):
    """The functions of ``kalvorin`` with the signatures and docstrings of its stubs."""

    has_content = False

    def run(self) -> list[nodes.Node]:
        import kalvorin

        stub = Path(self.config.kalvorin_stub_file)
        self.env.note_dependency(str(stub))
        tree = ast.parse(stub.read_text(encoding="utf-8"))
        functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
        lines = [".. py:module:: kalvorin", "   :no-index:", ""]
        module_doc = ast.get_docstring(tree)
        if module_doc:
            lines += module_doc.splitlines() + [""]
        for name in kalvorin.__all__:
            fn = functions.get(name)
            if fn is None:
                logger.warning("kalvorin.%s has no stub in %s", name, stub, location=(self.env.docname, self.lineno))
                continue
            lines += [f".. py:function:: {_signature(fn)}", "   :module: kalvorin", ""]
            doc = inspect.cleandoc(ast.get_docstring(fn, clean=False) or "")
            lines += ["   " + line if line else "" for line in doc.splitlines()] + [""]
        container = nodes.container()
        nested_parse_with_titles(self.state, StringList(lines, source=str(stub)), container)
        return container.children


# ---------------------------------------------------------------------------
# Gallery
# ---------------------------------------------------------------------------

def _rst_escape_title(text: str) -> str:
    return text.replace("*", r"\*")


def _run_example(app, script: Path, workdir: Path, arguments: list[str]) -> tuple[str, float, int]:
    if workdir.exists():
        shutil.rmtree(workdir)
    workdir.mkdir(parents=True)
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONUNBUFFERED="1")
    start = time.perf_counter()
    proc = subprocess.run([sys.executable, str(script), *arguments], cwd=workdir, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=1200)
    return proc.stdout, time.perf_counter() - start, proc.returncode


def _example_page(stem: str, script: Path, arguments: list[str], output: str, seconds: float,
                  figures: list[str], examples_rel: str) -> str:
    doc = ast.get_docstring(ast.parse(script.read_text(encoding="utf-8"))) or stem
    title, _, body = doc.partition("\n")
    title = _rst_escape_title(title.strip().rstrip("."))
    command = " ".join(["python", f"examples/{script.name}", *arguments])
    lines = [f".. _gallery-{stem}:", "", title, "=" * len(title), "", body.strip(), "",
             "Run at build time as", "", ".. code-block:: sh", "", f"   {command}", "",
             f"(it took {seconds:.1f} s on the machine that built these pages; "
             f":download:`download {script.name} <{examples_rel}/{script.name}>`).", ""]
    for png in figures:
        lines += [f".. figure:: {stem}/{png}", f"   :alt: {png}, written by {script.name}", "   :width: 100%", "",
                  f"   ``{png}``, written by the run above.", ""]
    lines += ["Output", "------", "", ".. code-block:: text", ""]
    lines += [f"   {line}" if line.strip() else "" for line in output.rstrip().splitlines()] or ["   (no output)"]
    lines += ["", "Source", "------", "", f".. literalinclude:: {examples_rel}/{script.name}",
              "   :language: python", "   :linenos:", ""]
    return "\n".join(lines)


def build_gallery(app) -> None:
    config = app.config
    examples = Path(config.kalvorin_gallery_examples)
    out = Path(app.srcdir) / "gallery"
    if out.exists():
        shutil.rmtree(out)
    out.mkdir()
    scripts = {p.stem: p for p in sorted(examples.glob("*.py"))}
    order = [s for s in config.kalvorin_gallery_order if s in scripts]
    order += [s for s in scripts if s not in order]
    examples_rel = os.path.relpath(examples, out)
    cards = []
    for stem in order:
        script = scripts[stem]
        arguments = list(config.kalvorin_gallery_arguments.get(stem, []))
        logger.info("gallery: running examples/%s %s", script.name, " ".join(arguments))
        output, seconds, status = _run_example(app, script, out / stem, arguments)
        if status != 0:
            tail = "\n".join(output.splitlines()[-30:])
            logger.warning("gallery: examples/%s exited with status %d:\n%s", script.name, status, tail)
        figures = sorted(p.name for p in (out / stem).glob("*.png"))
        (out / f"{stem}.rst").write_text(
            _example_page(stem, script, arguments, output, seconds, figures, examples_rel), encoding="utf-8")
        doc = ast.get_docstring(ast.parse(script.read_text(encoding="utf-8"))) or stem
        cards.append((stem, _rst_escape_title(doc.partition("\n")[0].strip().rstrip(".")), figures, seconds))
    lines = ["Gallery", "=======", "",
             "The scripts of ``examples/``, each run when these pages were built; the figures and "
             "every number below are what that run wrote and printed.", "",
             ".. toctree::", "   :hidden:", ""]
    lines += [f"   {stem}" for stem, *_ in cards] + [""]
    for stem, title, figures, seconds in cards:
        # a role's text holds no inline markup: the title's literals as plain text
        plain = title.replace("``", "").replace("<", r"\<")
        lines += [f":doc:`{plain} <{stem}>` (``examples/{stem}.py``, {seconds:.1f} s)", ""]
        if figures:
            lines += [f".. image:: {stem}/{figures[0]}", f"   :alt: {figures[0]}", "   :width: 420px",
                      f"   :target: {stem}.html", ""]
    (out / "index.rst").write_text("\n".join(lines), encoding="utf-8")


def setup(app):
    app.add_config_value("kalvorin_stub_file", "", "env")
    app.add_config_value("kalvorin_gallery_examples", "", "env")
    app.add_config_value("kalvorin_gallery_order", [], "env")
    app.add_config_value("kalvorin_gallery_arguments", {}, "env")
    app.add_directive("kalvorin-stubs", KalvorinStubs)
    app.connect("builder-inited", build_gallery)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
