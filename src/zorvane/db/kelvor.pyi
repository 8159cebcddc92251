"""SQL session: per-context nested transactions and mapper statements by namespace and id."""
