"""SQL template and session object (zorvane.db.ostrane, zorvane.db.kelvor)."""
