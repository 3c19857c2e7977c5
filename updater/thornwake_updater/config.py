"""launcher-config.json and the support directory.

The launcher reads "schemaVersion", "defaultRegion" and each region's "id" and
"name". The updater reads, per region, two more members the launcher ignores:

  "feed":        where the region's signed feed lives: an https:// URL, a
                 file:// URL, an http:// URL to a loopback address, or a plain
                 path (relative paths are taken from the config file's directory)
  "trustedKeys": the Ed25519 public keys (64 hex digits each) allowed to sign it
"""

import ipaddress
import json
import os
import re
import sys
import urllib.parse

from .errors import ConfigError
from .record import Record

REGION_ID = re.compile(r"\A[a-z][a-z0-9-]{0,31}\Z")
_HEX_KEY = re.compile(r"\A[0-9a-fA-F]{64}\Z")
CONFIG_LIMIT = 1 << 20
MAX_TRUSTED_KEYS = 16

_BROKEN = "The launcher configuration is damaged. Reinstall Thornwake Launcher."


class RegionSettings(Record):
    def __init__(self, id, name, feed_url, trusted_keys):
        self.id = id
        self.name = name
        self.feed_url = feed_url
        self.trusted_keys = trusted_keys


def support_directory(environ=None, platform=None):
    """The per-user directory the launcher and the updater share."""
    environ = os.environ if environ is None else environ
    platform = sys.platform if platform is None else platform
    home = environ.get("HOME") or os.path.expanduser("~")
    if platform == "darwin":
        return os.path.join(home, "Library", "Application Support", "Thornwake")
    data_home = environ.get("XDG_DATA_HOME", "")
    if data_home and os.path.isabs(data_home):
        return os.path.join(data_home, "Thornwake")
    return os.path.join(home, ".local", "share", "Thornwake")


def is_loopback_host(host):
    if not host:
        return False
    if host.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def normalize_feed_location(value, base_directory):
    """The feed directory as a URL ending in "/", or ConfigError."""
    if not isinstance(value, str) or not value.strip():
        raise ConfigError("No update source is set up for this region. Reinstall Thornwake Launcher.")
    value = value.strip()
    if "://" not in value:
        path = value if os.path.isabs(value) else os.path.join(base_directory, value)
        value = "file://" + urllib.parse.quote(os.path.abspath(path))
    parts = urllib.parse.urlsplit(value)
    scheme = parts.scheme.lower()
    insecure = ConfigError(
        "This region's update address is not secure. Reinstall Thornwake Launcher.",
        detail="feed location must be https://, file:// or http:// to a loopback address: %s" % value,
    )
    if scheme == "https":
        if not parts.hostname:
            raise insecure
    elif scheme == "http":
        if not is_loopback_host(parts.hostname):
            raise insecure
    elif scheme == "file":
        if parts.netloc not in ("", "localhost"):
            raise insecure
    else:
        raise insecure
    if parts.query or parts.fragment:
        raise insecure
    path = parts.path if parts.path.endswith("/") else parts.path + "/"
    return urllib.parse.urlunsplit((scheme, parts.netloc, path, "", ""))


def load_region(config_path, region_id):
    """The update settings of one region from launcher-config.json."""
    if not REGION_ID.match(region_id or ""):
        raise ConfigError("The selected region is not valid. Choose another region and try again.")
    try:
        with open(config_path, "rb") as handle:
            data = handle.read(CONFIG_LIMIT + 1)
    except OSError as exc:
        raise ConfigError(
            "The launcher configuration can't be read. Reinstall Thornwake Launcher.",
            detail="%s: %s" % (config_path, exc.strerror or exc),
        )
    if len(data) > CONFIG_LIMIT:
        raise ConfigError(_BROKEN, detail="launcher-config.json is too large")
    try:
        document = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError) as exc:
        raise ConfigError(_BROKEN, detail="launcher-config.json: %s" % exc)
    regions = document.get("regions") if isinstance(document, dict) else None
    if not isinstance(regions, list):
        raise ConfigError(_BROKEN, detail="launcher-config.json has no regions list")
    entry = None
    for candidate in regions:
        if isinstance(candidate, dict) and candidate.get("id") == region_id:
            entry = candidate
            break
    if entry is None:
        raise ConfigError("This launcher does not offer the chosen region. Choose another one.",
                          detail="no region %r in %s" % (region_id, config_path))
    base = os.path.dirname(os.path.abspath(config_path))
    feed_url = normalize_feed_location(entry.get("feed"), base)
    keys = entry.get("trustedKeys")
    if not isinstance(keys, list) or not keys or len(keys) > MAX_TRUSTED_KEYS:
        raise ConfigError(_BROKEN, detail="region %s: trustedKeys must list 1 to %d keys" % (region_id, MAX_TRUSTED_KEYS))
    trusted = []
    for key in keys:
        if not isinstance(key, str) or not _HEX_KEY.match(key):
            raise ConfigError(_BROKEN, detail="region %s: a trusted key is not 64 hex digits" % region_id)
        trusted.append(bytes.fromhex(key))
    name = entry.get("name") if isinstance(entry.get("name"), str) else region_id
    return RegionSettings(region_id, name, feed_url, trusted)
