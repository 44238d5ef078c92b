from types import ModuleType
from typing import Any, Mapping, Sequence

import numpy as np
import numpy.typing as npt

from kestrix_sdk.visualize.captions import CaptionsDraw as CaptionsDraw
from kestrix_sdk.visualize.palette import get_rgba_color as get_rgba_color
from kestrix_sdk.visualize.palette import get_rgba_color_with_palette_id as get_rgba_color_with_palette_id

Image: ModuleType
ImageDraw: ModuleType

DEFAULT_ROI_COLOR: tuple[int, int, int, float]
DEFAULT_ROI_OUTLINE_COLOR: tuple[int, int, int, float]
DEFAULT_ROI_OUTLINE_THICKNESS: int
DEFAULT_LABEL_COLOR: tuple[int, int, int, float]
DEFAULT_LABEL_SIZE: int

class VizPolygonDraw:
    show_roi: Any
    show_label: Any
    label_drawer: CaptionsDraw
    default_roi_color: tuple[Any, Any, Any, Any] | None
    default_outline_color: tuple[Any, Any, Any, Any] | None
    def __init__(
        self,
        show_roi: bool = True,
        roi_color: Any = (255, 150, 113, 0.4),
        outline_color: Any = (255, 150, 113, 0.4),
        outline_thickness: int = 1,
        show_label: bool = False,
        label_size: int = 20,
        label_color: Any = (255, 255, 255, 0.4),
    ) -> None: ...
    def draw_polygon_rois(
        self,
        img: npt.NDArray[np.uint8],
        rois: Sequence[Mapping[str, Any]],
        fill_color: tuple[int, int, int, int] | None = None,
        outline_color: tuple[int, int, int, int] | None = None,
    ) -> npt.NDArray[np.uint8]: ...
    def _draw_polygon_(
        self,
        draw: Any,
        polygon: Sequence[int],
        outline_color: Any = None,
        fill: bool = True,
        fill_color: Any = None,
    ) -> Any: ...
    def draw_line_rois(self) -> None: ...
