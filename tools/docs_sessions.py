"""A MkDocs hook (mkdocs.yml): a ```python block with `>>>` prompts is highlighted as an
interactive session (Pygments' pycon), its output and tracebacks apart from its code.
The pages keep ```python, the blocks that the test suite runs as doctest sessions."""

import re
from typing import Any

BLOCK = re.compile(r"^```python\n(.*?^```)$", re.M | re.S)


def on_page_markdown(markdown: str, **kwargs: Any) -> str:
    return BLOCK.sub(lambda block: ("```pycon\n" if re.search(r"^>>> ", block[1], re.M) else "```python\n") + block[1],
                     markdown)
