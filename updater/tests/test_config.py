"""launcher-config.json's feed locations, and the support directory the launcher shares."""

import unittest

import support  # noqa: F401  (puts the updater package on the path)

from thornwake_updater import config


class ConfigTest(unittest.TestCase):
    def test_feed_locations(self):
        accepted = {
            "https://cdn.example/feeds/prod": "https://cdn.example/feeds/prod/",
            "http://127.0.0.1:8080/feed/": "http://127.0.0.1:8080/feed/",
            "file:///srv/feed": "file:///srv/feed/",
            "demo feed": "file:///etc/thornwake/demo%20feed/",
        }
        for value, expected in accepted.items():
            with self.subTest(value):
                self.assertEqual(expected, config.normalize_feed_location(value, "/etc/thornwake"))
        for value in ("http://cdn.example/feed", "ftp://127.0.0.1/", "https://cdn.example/f?x=1", "", "file://host/srv"):
            with self.subTest(value):
                with self.assertRaises(config.ConfigError):
                    config.normalize_feed_location(value, "/etc")

    def test_support_directory(self):
        cases = [
            ({"HOME": "/h"}, "linux", "/h/.local/share/Thornwake"),
            ({"HOME": "/h", "XDG_DATA_HOME": "/x"}, "linux", "/x/Thornwake"),
            ({"HOME": "/h", "XDG_DATA_HOME": "rel"}, "linux", "/h/.local/share/Thornwake"),
            ({"HOME": "/h", "XDG_DATA_HOME": "/x"}, "darwin", "/h/Library/Application Support/Thornwake"),
        ]
        for environ, platform, expected in cases:
            with self.subTest(environ=environ, platform=platform):
                self.assertEqual(expected, config.support_directory(environ, platform))


if __name__ == "__main__":
    unittest.main()
