"""kestrix_sdk.camera: the camera node, keeping the newest frame of a video source in Redis."""

from kestrix_sdk.camera.camera import CameraSource

__all__ = ["CameraSource"]
