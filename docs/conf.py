"""Sphinx configuration of the kalvorin documentation (built by scripts/docs)."""

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))

import kalvorin_fspl  # noqa: E402  (the installed package: its docstrings are the API reference)

project = "kalvorin"
copyright = "the kalvorin developers"
version = release = kalvorin_fspl.__version__

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.napoleon",
    "kalvorin_docs",
]

# "--option" stays two hyphens, quotes stay straight
smartquotes = False
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "**/.ipynb_checkpoints"]
templates_path = ["_templates"]

# The user guide includes the README's sections; their headings start below
# the page title at whatever level the README gives them.
suppress_warnings = ["myst.header"]
myst_enable_extensions = ["colon_fence"]
myst_heading_anchors = 3

# API reference: one page per name in kalvorin_fspl.__all__ (autosummary
# respects __all__), so a function or law added there appears by itself.
autosummary_generate = True
autosummary_ignore_module_all = False
autosummary_imported_members = True
autodoc_typehints = "description"
# numpy's ArrayLike by name, not as the union it stands for
autodoc_type_aliases = {"npt.ArrayLike": "numpy.typing.ArrayLike", "ArrayLike": "numpy.typing.ArrayLike",
                        "FloatOrArray": "float | numpy.ndarray"}
autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "inherited-members": False}
napoleon_numpy_docstring = True
napoleon_google_docstring = False

html_theme = "pydata_sphinx_theme"
html_title = f"kalvorin {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
}
html_show_sourcelink = False

# Gallery: every examples/*.py is run at build time (kalvorin_docs); these are
# the command-line arguments of those that need some (others run with none).
# fit_event: the MCMC of 1000 steps of 16 walkers takes some 15 s here;
# hmc_event: 200 + 300 NUTS steps and 300 emcee steps, some 25 s (a minute
# with other work on the machine).
kalvorin_gallery_examples = str(HERE.parent / "examples")
kalvorin_gallery_order = ["light_curve", "astrometry_event", "limb_darkening_laws", "fit_event", "hmc_event",
                          "survey_dask", "typed_usage"]
kalvorin_gallery_arguments = {
    "fit_event": ["--mcmc", "1000"],
    "hmc_event": ["--warmup", "200", "--samples", "300", "--emcee", "300"],
    "survey_dask": ["--events", "2000", "--workers", "2"],
}
kalvorin_stub_file = str(HERE.parent / "src" / "lib" / "kalvorin.pyi")
