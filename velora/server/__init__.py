"""The local platform service, `velora-server`: the dataset REST paths the SDK calls and the
project's dataset storage over WebDAV, on one loopback port."""
