"""morva demo: grows with each subsystem."""

import morva

print("morva", ", ".join(morva.__all__) or "(no public names yet)")
