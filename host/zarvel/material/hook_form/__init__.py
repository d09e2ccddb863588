"""Form-bound fields (the compiled ``tessu_autocomplete`` field lives here)."""
