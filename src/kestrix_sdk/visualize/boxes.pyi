from types import ModuleType
from typing import Any, Mapping, Sequence

import numpy as np
import numpy.typing as npt

from kestrix_sdk.constants import KEY as KEY
from kestrix_sdk.visualize.captions import CaptionsDraw as CaptionsDraw
from kestrix_sdk.visualize.palette import get_rgba_color as get_rgba_color
from kestrix_sdk.visualize.palette import get_rgba_color_with_palette_id as get_rgba_color_with_palette_id

Image: ModuleType
ImageDraw: ModuleType

class BoxesDraw:
    bbox_color: tuple[Any, Any, Any, Any] | None
    bbox_thickness: Any
    label_drawer: CaptionsDraw
    def __init__(self, bbox_color: Any, bbox_thickness: int, text_color: Any, text_size: int) -> None: ...
    def draw_detections(
        self,
        img: npt.NDArray[np.uint8],
        detections: Sequence[Mapping[Any, Any]],
        show_label: bool = True,
        show_confidence: bool = True,
    ) -> npt.NDArray[np.uint8]: ...
    def _draw_objs_(
        self,
        draw: Any,
        objs: Sequence[Mapping[Any, Any]],
        show_label: bool = True,
        show_confidence: bool = True,
        show_class_id: bool = False,
    ) -> Any: ...
    def draw_tracking(self, draw: Any, tracking: Any) -> None: ...
