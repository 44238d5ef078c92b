"""Coverage-guided fuzzing of the MQTT message dispatch (atheris).

Every input is turned into a callback table (the client's own listener, recording callbacks,
raising callbacks, entries that cannot be called), a `verbose` setting and a series of messages
with random topics and payloads (not always UTF-8, not always JSON). Each message goes through
`CourierClient._on_message` as paho's network thread would hand it over, and the outcome is
checked against a plain model of the dispatch: which callback ran with what, what the listener
stored, which lines were logged. A mismatch or an exception escaping the dispatch is a failure;
atheris then saves the input (crash-*) and exits with an error.

Run: python fuzz/dispatch_fuzzer.py [atheris/libFuzzer options] [corpus dirs]
(e.g. -max_total_time=60 build/fuzz/dispatch-corpus fuzz/corpus/dispatch).
"""

from __future__ import annotations

import logging
import socket
import sys

import atheris

# Coverage of the Python code the dispatch runs through: json's decoder, paho's message, the kit.
with atheris.instrument_imports(include=["json", "paho", "kestrix_sdk"]):
    import json
    import json.decoder

    import paho.mqtt.client as mqtt

    from kestrix_sdk.mqtt import courier

TOPICS = ["a", "kestrix_local_cam-1", "", "x/y", "é", "#"]


class Capture(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.records: list[tuple[str, str]] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append((record.levelname, record.getMessage()))


class Boom(Exception):
    pass


def closed_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


capture = Capture()
courier.logger.handlers[:] = [capture]
courier.logger.propagate = False
courier.logger.setLevel(logging.DEBUG)
client = courier.CourierClient(port=closed_port(), verbose=False)
client.stop()  # no reconnection attempts: only the dispatch runs
client.join(timeout=30)
capture.records.clear()


def pick_topic(fdp: atheris.FuzzedDataProvider) -> str:
    if fdp.ConsumeBool():
        return TOPICS[fdp.ConsumeIntInRange(0, len(TOPICS) - 1)]
    return fdp.ConsumeUnicode(12)


def pick_payload(fdp: atheris.FuzzedDataProvider) -> bytes:
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))
    if kind == 1:
        return fdp.ConsumeUnicode(48).encode("utf-8", "surrogatepass")
    obj: dict = {"v": fdp.ConsumeInt(4)}
    if fdp.ConsumeBool():
        obj["source_key"] = fdp.ConsumeUnicode(6)
    text = json.dumps(obj)
    return (text + fdp.ConsumeUnicode(3) if kind == 3 else text).encode("utf-8", "surrogatepass")


@atheris.instrument_func
def model_listen(table: dict, topic: str, text: str) -> list[tuple[str, str]]:
    try:
        parsed = json.loads(text)
    except Exception as err:
        return [("ERROR", f"Failed to parse subscribed message({text}) - {err}")]
    if not isinstance(parsed, dict):
        return [("ERROR", f"Failed to store subscribed message({text}) - not a JSON object")]
    table[topic if "source_key" in parsed else 0] = parsed
    return []


@atheris.instrument_func
def TestOneInput(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    calls: list[tuple[str, str, str]] = []
    callbacks: dict = {}
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        topic = pick_topic(fdp)
        kind = fdp.ConsumeIntInRange(0, 3)
        if kind == 0:
            callbacks[topic] = client._on_kestrix_msg_listen
        elif kind == 1:
            callbacks[topic] = lambda topic, msg, tag=str(len(callbacks)): calls.append((tag, topic, msg))
        elif kind == 2:
            def fail(topic, msg):
                raise Boom(f"boom {len(msg)}")
            callbacks[topic] = fail
        else:
            callbacks[topic] = [None, 42, "text"][fdp.ConsumeIntInRange(0, 2)]
    verbose = fdp.ConsumeBool()
    client.callbacks = callbacks
    client.verbose = verbose
    client.msg_subscribed = {}
    model_table: dict = {}
    for _ in range(fdp.ConsumeIntInRange(1, 4)):
        raw_topic = pick_topic(fdp).encode("utf-8", "surrogatepass")
        if fdp.ConsumeIntInRange(0, 15) == 0:
            raw_topic += b"\xff"
        payload = pick_payload(fdp)
        message = mqtt.MQTTMessage(0, raw_topic)
        message.payload = payload
        capture.records.clear()
        calls.clear()

        expected: list[tuple[str, str]] = []
        expected_calls: list[tuple[str, str, str]] = []
        traced = ""  # the last expected line goes on with a traceback ending in this
        try:
            topic = raw_topic.decode("utf-8")
        except UnicodeDecodeError as err:
            expected = [("ERROR", f"Failed to dispatch message - {err}")]
            traced = f"UnicodeDecodeError: {err}"
        else:
            try:
                text = payload.decode("utf-8")
            except UnicodeDecodeError as err:
                expected = [("ERROR", f"Failed to decode message on topic '{topic}' - {err}")]
            else:
                if verbose:
                    expected.append(("INFO", f"Received a message(`{text}`) on topic: `{topic}`"))
                entry = callbacks.get(topic)
                if entry == client._on_kestrix_msg_listen:
                    expected += model_listen(model_table, topic, text)
                elif callable(entry) and getattr(entry, "__name__", "") == "fail":
                    traced = f"Boom: boom {len(text)}"
                    expected.append(("ERROR", f"Callback of topic '{topic}' failed - boom {len(text)}"))
                elif callable(entry):
                    expected_calls.append((entry.__defaults__[0], topic, text))
                else:
                    expected.append(("ERROR", f"Callback of topic '{topic}' is not callable!"))

        client._on_message(None, None, message)  # nothing may escape the dispatch

        got = list(capture.records)
        if traced:
            # An error line with the error's traceback (or its type and text when it has none).
            assert len(got) == len(expected), (got, expected)
            level, line = got[-1]
            assert level == "ERROR" and line.startswith(expected[-1][1] + "\n"), (got, expected)
            assert line.endswith("\n" + traced), (line, traced)
            got[-1] = expected[-1]
        assert got == expected, (got, expected)
        assert calls == expected_calls, (calls, expected_calls)
        assert client.get_last_published_msg() == model_table, (client.msg_subscribed, model_table)


def main() -> None:
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
