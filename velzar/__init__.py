"""velzar: a prompt-driven SSH client for network devices (TL1 elements, routers)."""
