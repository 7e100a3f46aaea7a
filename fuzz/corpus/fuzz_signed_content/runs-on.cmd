@echo started
