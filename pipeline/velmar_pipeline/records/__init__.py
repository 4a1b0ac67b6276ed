"""Records: the game records of self-play on disk and the positions they replay into. Owns shard
writing (atomic, never colliding: ``atomic``, ``shards``) and reading (validated, each error naming
file, game and move), the replay of a record into training positions and the slot convention of
values (``positions``), and the ``stats`` command. It may import ``velmar_rules``, numpy and the
package's ``errors`` only: every other room reads and writes records through it.
"""
