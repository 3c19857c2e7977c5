"""The Thornwake updater: signed feeds, content-addressed objects, client install and play.

Modules, one concern each:
  ed25519    signature verification (and signing, for the publisher)
  errors     the failures that end a run with a "Thornwake launcher error:" line
  output     the lines the launcher reads
  fsutil     crash-safe file writes, and no link followed
  config     launcher-config.json and the support directory
  transport  bounded fetching over https, file and loopback http
  feed       feed.json, its signature, expiry, region and rollback state
  manifest   release manifests and path validation
  objects    the local object cache and fetching of objects
  install    the installed release (current.json) and installing a new one
  retire     retiring releases no game runs from, and the trash
  check      the update check result
  play       starting the installed game
  cli        the command line and the three modes
"""
