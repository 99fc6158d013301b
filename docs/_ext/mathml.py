"""Math rendered as MathML while the pages are built, so formulas read
without a script and without network: browsers lay MathML out themselves.

A formula latex2mathml cannot convert, or converts with a command left over
(it passes unknown commands through as text), is a warning, which fails the
build, rather than a formula shown wrong.
"""

from __future__ import annotations

import pathlib
import re
from typing import TYPE_CHECKING

from docutils import nodes
from latex2mathml.converter import convert
from sphinx.locale import _
from sphinx.util import logging
from sphinx.util.math import get_node_equation_number

if TYPE_CHECKING:
    from sphinx.application import Sphinx
    from sphinx.util.typing import ExtensionMetadata
    from sphinx.writers.html5 import HTML5Translator

logger = logging.getLogger(__name__)

# latex2mathml writes \ln, \log, ... as plain identifiers, which browsers set
# flush against what follows ("lnm"): TeX's thin space goes after them unless
# a parenthesis follows (or the name is a base, as in \log_2, whose script
# must stay its sibling).
_FUNCTION_NAME = re.compile(
    r"(?<!<msub>)(?<!<msup>)(?<!<msubsup>)(<mi>(?:arg|cos|cosh|cot|deg|det|dim|exp|gcd|hom|ker|lg|ln|log|sin|sinh|tan|tanh)</mi>)"
    r"(?!<mo stretchy=\"false\">&#x00028;)"
)


def _unbalanced(latex: str) -> bool:
    depth = 0
    escaped = False
    for character in latex:
        if escaped:
            escaped = False
        elif character == "\\":
            escaped = True
        elif character == "{":
            depth += 1
        elif character == "}":
            depth -= 1
            if depth < 0:
                return True
    return depth != 0


def to_mathml(latex: str, display: str) -> str | None:
    """The MathML of `latex`, or None when it would not render as written."""
    if _unbalanced(latex):
        return None
    try:
        mathml = convert(latex, display=display)
    except Exception:  # latex2mathml raises its own errors and plain ones on bad input
        return None
    # No backslash survives a conversion that understood every command.
    if "\\" in mathml:
        return None
    return _FUNCTION_NAME.sub(r'\1<mspace width="0.1667em" />', mathml)


def _fallback(self: HTML5Translator, node: nodes.Element, latex: str) -> None:
    logger.warning("formula not converted to MathML: %r", latex, location=node)
    self.body.append(f'<code class="math">{self.encode(latex)}</code>')


def visit_math(self: HTML5Translator, node: nodes.math) -> None:
    latex = node.astext()
    mathml = to_mathml(latex, "inline")
    if mathml is None:
        _fallback(self, node, latex)
    else:
        self.body.append(mathml)
    raise nodes.SkipNode


def visit_math_block(self: HTML5Translator, node: nodes.math_block) -> None:
    self.body.append(self.starttag(node, "div", CLASS="math"))
    if node["number"]:
        number = get_node_equation_number(self, node)
        self.body.append(f'<span class="eqno">({number})')
        self.add_permalink_ref(node, _("Link to this equation"))
        self.body.append("</span>")
    # Equations apart by a blank line are separate; a line break within one
    # aligns its lines at "&", as Sphinx's other renderers do.
    for part in (part for part in node.astext().split("\n\n") if part.strip()):
        latex = rf"\begin{{split}}{part}\end{{split}}" if r"\\" in part else part
        mathml = to_mathml(latex, "block")
        if mathml is None:
            _fallback(self, node, part)
        else:
            self.body.append(mathml)
    self.body.append("</div>\n")
    raise nodes.SkipNode


def _add_stylesheet(app: Sphinx) -> None:
    app.config.html_static_path.append(str(pathlib.Path(__file__).parent / "static"))


def setup(app: Sphinx) -> ExtensionMetadata:
    app.connect("builder-inited", _add_stylesheet)
    app.add_css_file("mathml.css")
    app.add_html_math_renderer(
        "mathml",
        inline_renderers=(visit_math, None),
        block_renderers=(visit_math_block, None),
    )
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
