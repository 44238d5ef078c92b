"""Demo camera node.

Synthesises a video (examples/scene.py) and, for every frame:
  - writes the frame under its node-local Redis key with `VaultClient.write_frame` (background
    mode: one short-lived writer thread per frame);
  - publishes the frame's objects (boxes, labels, scores) as JSON on its node-local MQTT topic
    (`gen_mqtt_key_local`), together with the frame index, the Redis key and the frame count;
  - appends the same record to <out>/ground_truth.jsonl, so that the result can be checked.
A `StatusCaching` reporter publishes the node's frame count and frame rate, with the clients' own
counters (`stats()`), every second; problems go out through its `error()`. Every client is used
in a `with` block, so it is closed however the node ends.

Run by examples/run_demo.py; alone: python examples/camera_node.py --frames 100 --out /tmp/x
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import sys
import time

from kestrix_sdk.mqtt.courier import CourierClient, gen_mqtt_key_local
from kestrix_sdk.redis.vault import VaultClient, gen_redis_key_local
from kestrix_sdk.status.pulse import StatusCaching

import demo_common as common
import scene

REDIS_PORT = 6379


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=150, help="number of frames (default 150; 0: until stopped)")
    ap.add_argument("--fps", type=float, default=15.0, help="frame rate (default 15)")
    ap.add_argument("--out", required=True, help="folder for ground_truth.jsonl")
    ap.add_argument("--node-id", default=common.CAMERA_ID)
    ap.add_argument("--verbose", action="store_true", help="show the kit's info log lines")
    args = ap.parse_args(argv)
    common.setup_logging(args.verbose)
    stop = common.stop_on_signals()

    topic = gen_mqtt_key_local(args.node_id)
    frame_key = gen_redis_key_local(args.node_id, REDIS_PORT)
    os.makedirs(args.out, exist_ok=True)

    # Each client closes on the way out of its with block, whatever ends the run: the reporter
    # first, then the broker connection, then the frame writer (after the frames it was given).
    with VaultClient(thread=True) as vault, CourierClient(verbose=False) as courier, \
            StatusCaching(node_id=args.node_id, node_name="demo camera", node_type="camera",
                          log_interval=common.STATUS_INTERVAL) as status:
        return run(args, stop, vault, courier, status, topic, frame_key)


def run(args: argparse.Namespace, stop, vault: VaultClient, courier: CourierClient,
        status: StatusCaching, topic: str, frame_key: str) -> int:
    written = 0
    code = 0
    if not common.wait_connected(courier, 15, stop):
        print("camera: no connection to the MQTT broker", flush=True)
        return 1
    print(f"camera: publishing detections on {topic}, frames under Redis key {frame_key}", flush=True)
    start = time.monotonic()
    with open(os.path.join(args.out, "ground_truth.jsonl"), "w") as truth:
        for index in (itertools.count() if args.frames == 0 else range(args.frames)):
            if stop.is_set():
                code = 1
                break
            # Keep the pace of a real camera.
            delay = start + index / args.fps - time.monotonic()
            if delay > 0:
                stop.wait(delay)
            frame = scene.render(index, args.fps)
            vault.write_frame(frame, frame_key)
            record = {"frame": index, "total": args.frames or None, "redis_key": frame_key,
                      "width": frame.shape[1], "height": frame.shape[0],
                      "detections": scene.objects_at(index, frame.shape[1], frame.shape[0])}
            text = json.dumps(record)
            truth.write(text + "\n")
            connected, _ = courier.publish(topic=topic, message=text)
            if not connected:
                status.error(f"MQTT connection down: detections of frame {index} may be lost")
            written += 1
            elapsed = time.monotonic() - start
            # The clients' own counters go into the status record with the node's figures.
            status.update_status_info(
                {"frames": written, "fps": round(written / elapsed, 1) if elapsed > 0 else 0.0,
                 "mqtt": courier.stats(), "redis": vault.stats()}, 0)
    courier.publish(topic=topic, message=json.dumps({"end": True, "frames": written}))
    # Let the reporter send a report with the final count before it stops.
    with VaultClient(thread=False) as reader:
        if not stop.is_set() and not common.wait_status_stored(reader, args.node_id, {"frames": [written]},
                                                               common.STATUS_INTERVAL + 5):
            print("camera: the final status report did not reach Redis", flush=True)
    print(f"camera: {written} frames sent", flush=True)
    return code

if __name__ == "__main__":
    sys.exit(main())
