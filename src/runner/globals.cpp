// Configuration record and exported globals of the mission runner.
