import logging
from typing import Any, Sequence

from kestrix_sdk.visualize.palette import get_rgba_color as get_rgba_color

FONTS_DIR: str
DEFAULT_FONT_SIZE: int
DEFAULT_TXT_COLOR: tuple[int, int, int, float]
DEFAULT_SHADOW_COLOR: tuple[int, int, int, float]
logger: logging.Logger

def get_supported_fonts(fonts_dir: Any = ...) -> list[str]: ...
def get_text_size(draw: Any, text: str, font: Any, xy: Sequence[float] = (10, 10)) -> tuple[Any, Any]: ...

class CaptionsDraw:
    verbose: bool
    font: Any
    default_txt_color: tuple[Any, Any, Any, Any] | None
    default_shadow_color: tuple[Any, Any, Any, Any] | None
    def __init__(
        self,
        font: str | None = None,
        font_size: int | None = 15,
        font_color: str | Sequence[Any] | None = (255, 255, 255, 1.0),
        shadow_color: str | Sequence[Any] | None = (0, 0, 0, 1.0),
        verbose: bool = False,
    ) -> None: ...
    def init_font(self, font_name: str | None, font_size: int) -> Any: ...
    def draw_texts(
        self,
        draw: Any,
        text: str,
        txt_color: Any = None,
        pos: Sequence[float] = (50, 50),
        large_padding: bool = False,
        fill_rectangle: bool = False,
        fill_rectangle_color: Any = None,
        show_shadow: bool = False,
        shadow_color: Any = None,
    ) -> Any: ...
