"""Demo analytics node.

Listens with a `CourierClient` to the camera node's detections, reads each frame from Redis with
`get_frame`, draws the named regions with `VizPolygonDraw` and the detections with `BoxesDraw`,
and writes the annotated frames to <out>/frames/ as images and to <out>/annotated.avi as a video
(Motion-JPEG) (not with --no-files), and to Redis under its own node-local key
(kestrix_local_analytics_6379), where the live view shows them. Its `StatusCaching` reporter publishes frame count, frame rate and object count,
with the clients' own counters (`stats()`), every second; problems (frames missing from Redis, unreadable messages) go out through `error()`.

Every frame carries its index (see examples/scene.py), so the node draws each frame's own
detections even when a message overtakes the frame's write to Redis, or the reverse.

With --detect (the demo on a real camera, `run_demo.py --source`) there are no detection
messages: the node reads each new frame the camera node (`python -m kestrix_sdk camera`) stores,
finds people in it with OpenCV's HOG people detector (it ships inside OpenCV, nothing to
download) and draws and reports them as above, until the camera node's status says `ended`.

Run by examples/run_demo.py; alone: python examples/analytics_node.py --out /tmp/x
"""

from __future__ import annotations

import argparse
import collections
import importlib.metadata
import json
import os
import sys
import threading
import time
import uuid

import cv2
import numpy as np

from kestrix_sdk.mqtt.courier import CourierClient, gen_mqtt_key_local
from kestrix_sdk.redis.vault import VaultClient, gen_redis_key_local
from kestrix_sdk.status.pulse import StatusCaching
from kestrix_sdk.visualize.boxes import BoxesDraw
from kestrix_sdk.constants import KEY
from kestrix_sdk.visualize.zones import VizPolygonDraw

import demo_common as common
import scene

# Regions of interest: the scene's crossing and parking lot.
REGIONS = scene.REGIONS

# How long a detection message may wait for its frame to appear in Redis.
FRAME_WAIT = 2.0

# Frames are searched for people at this width at most (the HOG detector's time grows with the
# picture); the boxes are scaled back to the frame.
DETECT_WIDTH = 640



def cv2_release() -> str:
    """The installed OpenCV wheel's version (the contrib build to add must be the same)."""
    try:
        return importlib.metadata.version("opencv-python-headless")
    except importlib.metadata.PackageNotFoundError:
        return cv2.__version__


class Analytics:
    def __init__(self, args: argparse.Namespace, stop: threading.Event) -> None:
        self.args = args
        self.stop = stop
        self.topic = gen_mqtt_key_local(args.camera_id)
        self.frame_key = gen_redis_key_local(args.camera_id, 6379)
        self.annotated_key = gen_redis_key_local(args.node_id, 6379)
        self.cond = threading.Condition()
        self.pending: dict[int, tuple[float, dict]] = {}   # frame index -> (arrival, message)
        self.end_frames: int | None = None
        self.total: int | None = None
        self.probe = f"probe-{uuid.uuid4().hex}"
        self.probe_seen = threading.Event()
        self.last_message = time.monotonic()

        self.vault = VaultClient(thread=False)
        self.boxes = BoxesDraw(bbox_color=None, bbox_thickness=3, text_color="white", text_size=14)
        self.zones = VizPolygonDraw(show_label=True)
        self.status = StatusCaching(node_id=args.node_id, node_name="demo analytics",
                                    node_type="analytics", log_interval=common.STATUS_INTERVAL)
        self.courier = CourierClient(subscribe_topics=[self.topic], verbose=False)
        # Every message of the topic comes to this node's handler (not only the latest one).
        self.courier.callbacks[self.topic] = self.on_message

        self.frames_dir = os.path.join(args.out, "frames")
        self.video_path = os.path.join(args.out, "annotated.avi")
        self.video: cv2.VideoWriter | None = None
        self.done = 0
        self.skipped = 0
        self.missing = 0
        self.objects = 0
        self.times: collections.deque[float] = collections.deque(maxlen=30)

    # -- MQTT network thread ------------------------------------------------------------------
    def on_message(self, topic: str, msg: str) -> None:
        try:
            data = json.loads(msg)
        except ValueError as e:
            self.status.error(f"unreadable detection message on {topic}: {e}")
            return
        if not isinstance(data, dict):
            return
        with self.cond:
            self.last_message = time.monotonic()
            if data.get("probe") == self.probe:
                self.probe_seen.set()
            elif data.get("end"):
                self.end_frames = int(data.get("frames", 0))
            elif isinstance(data.get("frame"), int) and isinstance(data.get("detections"), list):
                self.pending[data["frame"]] = (time.monotonic(), data)
                self.total = data.get("total", self.total)
            else:
                return
            self.cond.notify_all()

    # -- main thread ----------------------------------------------------------------------------
    def wait_ready(self, timeout: float) -> bool:
        """Waits until this node's subscription delivers: it publishes a probe on the topic until
        the probe comes back."""
        deadline = time.monotonic() + timeout
        while not self.stop.is_set() and time.monotonic() < deadline:
            if self.courier.client.is_connected():
                self.courier.publish(topic=self.topic, message=json.dumps({"probe": self.probe}))
            if self.probe_seen.wait(0.2):
                return True
        return False

    def annotate(self, frame: np.ndarray, message: dict) -> None:
        out = self.zones.draw_polygon_rois(frame, REGIONS)
        out = self.boxes.draw_detections(out, message["detections"])
        index = message["frame"]
        self.vault.write_frame(out, self.annotated_key)
        if not self.args.no_files:
            cv2.imwrite(os.path.join(self.frames_dir, f"frame_{index:05d}.{self.args.image_format}"), out)
            if self.video is None:
                self.video = cv2.VideoWriter(self.video_path, cv2.VideoWriter_fourcc(*"MJPG"),
                                             self.args.fps, (out.shape[1], out.shape[0]))
            self.video.write(out)
        self.done += 1
        self.objects += len(message["detections"])
        self.times.append(time.monotonic())
        fps = (len(self.times) - 1) / (self.times[-1] - self.times[0]) if len(self.times) > 1 else 0.0
        self.status.update_status_info({"frames": self.done, "fps": round(fps, 1), "objects": self.objects,
                                        "skipped": self.skipped, "mqtt": self.courier.stats(),
                                        "redis": self.vault.stats()}, 0)
        if self.done % self.args.progress_every == 0 or index + 1 == self.total:
            total = f"/{self.total}" if self.total else ""
            print(f"analytics: {self.done}{total} frames annotated, {fps:.1f} fps", flush=True)

    def step(self) -> bool:
        """Handles the oldest pending detection message; false when the stream has ended."""
        with self.cond:
            if not self.pending:
                if self.end_frames is not None or self.stop.is_set():
                    return False
                if time.monotonic() - self.last_message > self.args.idle_timeout:
                    self.status.error(f"no detections from {self.topic} for {self.args.idle_timeout:.0f} s")
                    print(f"analytics: no detections for {self.args.idle_timeout:.0f} s, giving up", flush=True)
                    return False
                self.cond.wait(0.5)
                return True
            target = min(self.pending)
            arrived, message = self.pending[target]
        key = message.get("redis_key") or self.frame_key
        frame = self.vault.get_frame(key)
        index = scene.read_stamp(frame) if frame is not None else None
        if index is not None and index >= target:
            with self.cond:
                late = [k for k in self.pending if k < index]
                for k in late:
                    del self.pending[k]
                entry = self.pending.pop(index, None)
            if late:
                # The camera has already overwritten these frames.
                self.skipped += len(late)
                self.status.error(f"skipped {len(late)} frame(s) before frame {index}: analysis too slow")
            if entry is not None:
                self.annotate(frame, entry[1])
            else:
                with self.cond:
                    self.cond.wait_for(lambda: index in self.pending or self.end_frames is not None, 0.5)
            return True
        # The frame of the oldest message is not in Redis yet.
        if time.monotonic() - arrived > FRAME_WAIT:
            with self.cond:
                self.pending.pop(target, None)
            self.missing += 1
            what = "no frame" if frame is None else f"frame {index}" if index is not None else "a frame without index"
            self.status.error(f"frame {target} did not arrive under Redis key {key} ({what} there)")
        else:
            time.sleep(0.003)
        return True

    def camera_ended(self, since: float) -> bool:
        """True once the camera node's status record, updated after `since` (a record left by
        an earlier run says `ended` too), says `ended`."""
        raw = self.vault.read_data(common.status_key(self.args.camera_id))
        record = json.loads(raw) if raw is not None else {}
        return record.get("state") == ["ended"] and record.get("ts", 0) >= int(since)

    def detect(self) -> None:
        """Finds people in every new frame under the camera's key until the camera ends."""
        hog = cv2.HOGDescriptor()  # run() checked that this OpenCV has it
        hog.setSVMDetector(cv2.HOGDescriptor_getDefaultPeopleDetector())
        print(f"analytics: ready, finding people in the frames under {self.frame_key}", flush=True)
        started = time.time()
        last = self.vault.read_data(self.frame_key)  # an earlier run's frame is not analysed
        while not self.stop.is_set():
            raw = self.vault.read_data(self.frame_key)
            if raw is None or raw == last:
                if self.camera_ended(started):
                    return
                self.stop.wait(0.02)  # the camera's next frame
                continue
            last = raw
            frame = VaultClient.base64_to_img(raw)
            if frame is None:
                continue
            scale = min(1.0, DETECT_WIDTH / frame.shape[1])
            small = cv2.resize(frame, None, fx=scale, fy=scale) if scale < 1.0 else frame
            rects, weights = hog.detectMultiScale(small, winStride=(8, 8), padding=(8, 8), scale=1.05)
            detections = [{KEY.TLWH: [int(v / scale) for v in rect], KEY.CLASS_ID: scene.CLASSES["person"],
                           KEY.LABEL: "person", KEY.SCORE: round(float(w), 2)}
                          for rect, w in zip(rects, weights.ravel() if len(rects) else [])]
            self.annotate(frame, {"frame": self.done, "detections": detections})

    def run(self) -> int:
        os.makedirs(self.frames_dir, exist_ok=True)
        # The with block starts the reporter and, however the run ends, closes the three clients:
        # the broker connection first (no more messages), then the reporter, then Redis.
        with self.vault, self.status, self.courier:
            if self.args.detect:
                if not hasattr(cv2, "HOGDescriptor"):
                    print(f"analytics: OpenCV {cv2.__version__} has no HOG people detector (from "
                          "OpenCV 5 on it is in the contrib build): pip install "
                          f"opencv-contrib-python-headless=={cv2_release()}", flush=True)
                    return 2
                self.detect()
                if self.video is not None:
                    self.video.release()
                print(f"analytics: {self.done} frames annotated", flush=True)
                return 0 if self.done and not self.stop.is_set() else 1
            if not self.wait_ready(15):
                print("analytics: no connection to the MQTT broker", flush=True)
                return 1
            print(f"analytics: ready, listening on {self.topic}", flush=True)
            with self.cond:
                self.last_message = time.monotonic()
            while self.step():
                pass
            if self.video is not None:
                self.video.release()
            expected = {"frames": [self.done]} if self.done else {}
            if not self.stop.is_set() and not common.wait_status_stored(self.vault, self.args.node_id, expected,
                                             common.STATUS_INTERVAL + 5):
                print("analytics: the final status report did not reach Redis", flush=True)
            print(f"analytics: {self.done} frames annotated ({self.skipped} skipped, {self.missing} missing)",
                  flush=True)
            return 0 if self.done and not self.stop.is_set() else 1


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", required=True, help="folder for frames/ and annotated.avi")
    ap.add_argument("--fps", type=float, default=15.0, help="frame rate of the video file (default 15)")
    ap.add_argument("--image-format", choices=("jpg", "png"), default="jpg")
    ap.add_argument("--camera-id", default=common.CAMERA_ID)
    ap.add_argument("--node-id", default=common.ANALYTICS_ID)
    ap.add_argument("--progress-every", type=int, default=15, help="print progress every N frames")
    ap.add_argument("--idle-timeout", type=float, default=20.0,
                    help="give up after this many seconds without detections (default 20)")
    ap.add_argument("--no-files", action="store_true",
                    help="annotated frames to Redis only, not to image and video files")
    ap.add_argument("--detect", action="store_true",
                    help="find people in the camera's frames (HOG detector) instead of reading its detections")
    ap.add_argument("--verbose", action="store_true", help="show the kit's info log lines")
    args = ap.parse_args(argv)
    common.setup_logging(args.verbose)
    return Analytics(args, common.stop_on_signals()).run()


if __name__ == "__main__":
    sys.exit(main())
