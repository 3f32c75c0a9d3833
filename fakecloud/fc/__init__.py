"""fakecloud: a local stand-in of Dropbox and Google Drive for tests and demos."""
