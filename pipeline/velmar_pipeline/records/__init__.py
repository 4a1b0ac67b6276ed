"""Records: the game records of self-play on disk and the positions they replay into. Owns shard
writing (atomic, never colliding: ``atomic``, ``shards``) and reading (validated, each error naming
file, game and move), the replay of a record into training positions and the slot convention of
values (``positions``), and the ``stats`` command. It may import ``velmar_rules``, numpy and the
package's ``errors`` only: every other room reads and writes records through it.

The names of ``velmar_pipeline.records`` from before the rooms (``iter_games``, ``load_games``,
``read_shard``, ``ShardWriter``, ...) are those of ``velmar_pipeline.records.shards``.
"""

from velmar_pipeline.records.shards import (  # noqa: F401 (the room's public names)
    FORMAT_VERSION, KEYS, SHARD_PATTERN, STALE_TEMPORARY_S, SUM_TOLERANCE, TEMPORARY_PATTERN, GameRecord,
    RecordError, ShardWriter, check_output_folder, clear_leftover_temporaries, dense_policies, from_engine,
    iter_games, load_games, next_shard_number, read_shard, shard_name, shard_paths, write_shard,
)
