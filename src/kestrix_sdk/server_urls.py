"""Server URLs of the operator tool and the live view: which URL a command uses, and what
redis-py and paho-mqtt need to reach it (parsed by the client modules' native parsers)."""

from __future__ import annotations

import os
from typing import Any


def chosen_url(given: str | None, host: str, port: int, default_host: str, default_port: int,
               env: str) -> str | None:
    """The URL a sub-command uses: --*-url when given, else the environment's URL when the host
    and port are the defaults, else None (plain host and port)."""
    if given:
        return given
    if host == default_host and port == default_port:
        return os.environ.get(env) or None
    return None


def check_url_files(kind: str, shown: str, parts: dict[str, Any]) -> None:
    """ValueError unless every TLS file the URL names can be read."""
    for name, what in (("ca", "CA file"), ("cert", "client certificate file"), ("key", "key file")):
        path = parts[name]
        if path is not None and not os.access(path, os.R_OK):
            raise ValueError(f"{kind} URL '{shown}': {what} '{path}' cannot be read")


def redis_url_address(url: str) -> tuple[str, dict[str, Any]]:
    """(the URL with its password as "***", redis-py connection keywords) for a Redis URL."""
    from kestrix_sdk.redis.vault import parse_redis_url, redact_url

    parts = parse_redis_url(url)
    check_url_files("Redis", redact_url(url), parts)
    address: dict[str, Any] = {"db": parts["db"], "username": parts["username"],
                               "password": parts["password"]}
    if parts["scheme"] == "unix":
        address["unix_socket_path"] = parts["path"]
    else:
        address.update(host=parts["host"], port=parts["port"])
    if parts["tls"]:
        address.update(ssl=True, ssl_ca_certs=parts["ca"], ssl_certfile=parts["cert"],
                       ssl_keyfile=parts["key"], ssl_cert_reqs="required",
                       ssl_check_hostname=True)
    return redact_url(url), address


def mqtt_url_settings(url: str) -> tuple[str, dict[str, Any]]:
    """(the URL with its password as "***", host / port / username / password / tls) for a
    broker URL; tls is an ssl.SSLContext or None."""
    import ssl

    from kestrix_sdk.mqtt.courier import parse_mqtt_url, redact_url

    parts = parse_mqtt_url(url)
    shown = redact_url(url)
    check_url_files("MQTT", shown, parts)
    tls = None
    if parts["tls"]:
        try:
            tls = ssl.create_default_context(cafile=parts["ca"])
            if parts["cert"]:
                tls.load_cert_chain(parts["cert"], parts["key"])
        except (OSError, ssl.SSLError) as e:
            raise ValueError(f"MQTT URL '{shown}': the TLS files cannot be used - {e}") from None
    return shown, {"host": parts["host"], "port": parts["port"], "username": parts["username"],
                   "password": parts["password"], "tls": tls}


def mqtt_connection(client: Any, host: str, port: int, username: str | None,
                    password: str | None, url: str | None) -> tuple[str, str, int]:
    """Sets up the paho `client` for the broker at host:port, or at `url` (which replaces them,
    adds TLS and, when it names a user, replaces the credentials too). Returns (where, host,
    port): the broker as messages show it (a URL without its password) and the address to
    connect to."""
    where = f"{host}:{port}"
    if url:
        where, settings = mqtt_url_settings(url)
        host, port = settings["host"], settings["port"]
        if settings["username"]:
            username, password = settings["username"], settings["password"]
        if settings["tls"] is not None:
            client.tls_set_context(settings["tls"])
    if username:
        client.username_pw_set(username, password)
    return where, host, port
