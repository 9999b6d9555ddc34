"""What a job folder holds: stored values, result.json records, materialising with serializers, the folder itself."""
