

Details: 